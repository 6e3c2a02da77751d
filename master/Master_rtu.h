#pragma once

#include <QWidget>

class TMSRTU_Form : public QWidget {
    Q_OBJECT
public:
    explicit TMSRTU_Form(QWidget *parent = nullptr);
};
