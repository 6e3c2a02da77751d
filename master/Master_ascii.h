#pragma once

#include <QWidget>

class TMSASC_Form : public QWidget {
    Q_OBJECT
public:
    explicit TMSASC_Form(QWidget *parent = nullptr);
};
