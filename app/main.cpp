#include <QApplication>

#include "Modbus_main.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Form1 = new TForm1;
    Form1->show();
    return app.exec();
}
