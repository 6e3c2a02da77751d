#pragma once

#include <QWidget>

class TSLASC_Form : public QWidget {
    Q_OBJECT
public:
    explicit TSLASC_Form(QWidget *parent = nullptr);
};
