// The port definition dialog and the port table every serial station keeps.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <functional>

class QComboBox;
class Setup_fields;
class QPushButton;

struct PortSetting {
    int32_t Baud = 9600;
    int16_t StopBitCount = 1;
    int16_t DataBitCount = 8;
    char ParityLetter = 'N';
    bool operator==(const PortSetting &) const = default;
};
using PortTable = std::array<PortSetting, 8>;

// The speeds the dialog offers.
inline constexpr std::array<int32_t, 8> kPortBauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// A serial station's port table, used port (1..8) and current settings.
struct StationPorts {
    PortTable table{};
    int usedPort = 1;
    PortSetting current{};

    // All eight entries get the same values; the used port is set.
    void setDefaults(int usedPort, int32_t baud, char parity, int16_t dataBits, int16_t stopBits);
    // Copies the used port's entry into the current settings.
    void takeCurrent();
    // "COM%d Port %d %c %d %d" of the current settings.
    QString label() const;
};

class TPort_DefDlg : public QDialog {
    Q_OBJECT
public:
    explicit TPort_DefDlg(QWidget *parent = nullptr);

    // 0 on OK (table and usedPort then hold the result), -1 otherwise (untouched).
    virtual int EditPortTable(PortTable &table, int &usedPort);
    virtual void ShowPortEntry(int index);
    virtual void StorePortEntry();

public slots:
    void ComboBox1Change(int index);
    void ComboBox6Change(int index);

public:
    ~TPort_DefDlg() override;

private:
    PortTable work_{};
    int workUsed_ = 1;
    bool showing_ = false;  // ShowPortEntry is filling the selectors
    QComboBox *ComboBox1, *ComboBox2, *ComboBox3, *ComboBox4, *ComboBox5, *ComboBox6;
    QPushButton *OKBtn, *CancelBtn;
};

// Created at start-up; port_define_action() makes one when there is none yet
// (a test without start-up). Deleting it clears the reference.
extern TPort_DefDlg *Port_DefDlg;

// The "Port Define" action shared by the four serial stations: runs the dialog
// on a copy of the station's table; when the port is open and the used port's
// settings change, performs closeAction (the station's own Close or Close
// Server, with its message line), stores, calls updateLabel and shows the
// reopen box; when closed, stores and calls updateLabel. The current settings
// are already taken from the new used port when updateLabel runs (the
// station's UpdatePortLabel may take them again). Returns true when the
// station's table was replaced.
bool port_define_action(StationPorts &ports, bool portOpen, const std::function<void()> &closeAction,
                        const std::function<void()> &updateLabel);

// Binds a serial station's line to its setup: "port" (COM1 to COM8), "baud",
// "parity" (None, Odd, Even), "data_bits" and "stop_bits", the used port's
// entry of the table. A setup changes them only while the port is closed (a
// line already open keeps the settings it was opened with); updateLabel
// shows the new ones.
void add_port_setup(Setup_fields &fields, StationPorts &ports, std::function<bool()> portOpen,
                    std::function<void()> updateLabel);
