#pragma once

#include <QWidget>

class TSLRTU_Form : public QWidget {
    Q_OBJECT
public:
    explicit TSLRTU_Form(QWidget *parent = nullptr);
};
