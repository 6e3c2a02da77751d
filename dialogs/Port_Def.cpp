#include "Port_Def.h"

TPort_DefDlg *Port_DefDlg = nullptr;

void StationPorts::setDefaults(int used, int32_t baud, char parity, int16_t dataBits, int16_t stopBits)
{
    for (auto &e : table)
        e = PortSetting{baud, stopBits, dataBits, parity};
    usedPort = used;
}

void StationPorts::takeCurrent()
{
    int i = (usedPort >= 1 && usedPort <= 8) ? usedPort - 1 : 0;
    current = table[i];
}

QString StationPorts::label() const
{
    return QString::asprintf("COM%d Port %d %c %d %d", usedPort, int(current.Baud), current.ParityLetter,
                             int(current.DataBitCount), int(current.StopBitCount));
}

TPort_DefDlg::TPort_DefDlg(QWidget *parent) : QDialog(parent) {}
int TPort_DefDlg::EditPortTable(PortTable &, int &) { return -1; }
void TPort_DefDlg::ShowPortEntry(int) {}
void TPort_DefDlg::StorePortEntry() {}
void TPort_DefDlg::ComboBox1Change(int) {}
void TPort_DefDlg::ComboBox6Change(int) {}

bool port_define_action(StationPorts &, bool, const std::function<void()> &, const std::function<void()> &)
{
    return false;
}
