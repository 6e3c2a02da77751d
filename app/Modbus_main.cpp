#include "Modbus_main.h"

TForm1 *Form1 = nullptr;

TForm1::TForm1(QWidget *parent) : QMainWindow(parent) { setWindowTitle("Tarrowind Program"); }
