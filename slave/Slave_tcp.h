#pragma once

#include <QWidget>

class TSLTCP_Form : public QWidget {
    Q_OBJECT
public:
    explicit TSLTCP_Form(QWidget *parent = nullptr);
};
