// What the two serial master stations add to the shared window: the port
// table with "Port Define", "Open" and "Close", the port label and the 10 ms
// receive timer. The line and the clock go through a SerialLink, which tests
// replace with setLink().
#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <QTimer>
#include <vector>

class QSocketNotifier;

#include "Master_receive.h"
#include "Master_window.h"
#include "Notices.h"
#include "Port_Def.h"
#include "Serial_link.h"

class SerialMasterWindow : public MasterWindow {
    Q_OBJECT
public:
    ~SerialMasterWindow() override;
    // The port and clock to use; nullptr returns to the link library.
    void setLink(SerialLink *link) { link_ = link ? link : &default_serial_link(); }

    // Fast receive: every waiting byte at each look, the answer ended as soon
    // as it is complete. Applies from the next request; off is the 10 ms tick.
    virtual void setFastReceive(bool on);
    bool fastReceive() const { return fast_; }

public slots:
    void BitBtn3Click();  // "Port Define"
    void BitBtn4Click();  // "Open"
    void BitBtn5Click();  // "Close"
    void UpdatePortLabel();
    void FormClose() override;
    void Timer1Timer();

protected:
    SerialMasterWindow(const QString &caption, const QString &header, CountLimits limits, int countPlaces,
                       StationKind kind, QWidget *parent);
    // Sets up the port table, the label and the buttons as a fresh window has them.
    void setUpPorts(int usedPort, int32_t baud, char parity, int16_t dataBits, int16_t stopBits);
    bool portOpen() const { return BitBtn5->isEnabled(); }
    bool linkOpen() const override { return portOpen(); }
    const char *notOpenText() const override { return "COM Port is not open yet !!!!!"; }
    // Writes the request to the port and starts the receive timer.
    void sendRequest(const void *bytes, int32_t n);
    // The answer just received goes to the history with its response time:
    // from the end of the request to the answer's last byte.
    void recordAnswer(const void *data, int32_t n);
    int64_t responseMs() { return fastReceiver().timing().responseMs(); }
    // A new request restarts the receive machine from Start.
    virtual void restartReceive() = 0;
    // One step of the station's receive machine, the check of a complete
    // answer, its decoding into the grid, and the line for an overlong one.
    virtual ReceiveEvent tickReceiver() = 0;
    virtual AnswerCheck checkAnswer() = 0;
    virtual void showAnswer() = 0;
    // The checked answer without its framing: device address, function code
    // and what follows; empty when it holds no such bytes.
    virtual std::vector<uint8_t> answerBytes() const = 0;
    virtual std::string overflowText() const = 0;
    // What the receive machine holds of an answer it gave up on.
    virtual std::string_view heldAnswer() const = 0;
    // The station's receive machine, for fast receive.
    virtual FastReceiving &fastReceiver() = 0;

    QPushButton *BitBtn3, *BitBtn4, *BitBtn5;
    QCheckBox *FastBox;
    QLabel *Label1;
    QTimer *Timer1;
    SerialLink *link_;
    StationPorts ports_;

private:
    // Fast receive: Timer1 stays active while an exchange is in flight, as
    // with the tick, but runs single looks when the machine wants them; the
    // port's descriptor wakes the window as bytes arrive.
    void startFastReceive(const void *request, int32_t n);
    void scheduleFastLook();
    void portReadable();
    void stopWatchingPort();
    void discardWaiting();

    bool fast_ = false;
    QSocketNotifier *portWatch_ = nullptr;
    void addFastBox();

    StationKind kind_;
    bool released_ = false;  // the port went with FormClose
};
