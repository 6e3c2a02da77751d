#pragma once

#include <QWidget>

class TMSTCP_Form : public QWidget {
    Q_OBJECT
public:
    explicit TMSTCP_Form(QWidget *parent = nullptr);
};
