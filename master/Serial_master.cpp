#include "Serial_master.h"
#include "Strformat.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

SerialMasterWindow::SerialMasterWindow(const QString &caption, const QString &header, CountLimits limits,
                                       int countPlaces, StationKind kind, QWidget *parent)
    : MasterWindow(caption, header, limits, countPlaces, parent), link_(&default_serial_link()), kind_(kind)
{
    BitBtn3 = new QPushButton("Port Define", this);
    BitBtn3->setObjectName("BitBtn3");
    BitBtn4 = new QPushButton("Open", this);
    BitBtn4->setObjectName("BitBtn4");
    BitBtn5 = new QPushButton("Close", this);
    BitBtn5->setObjectName("BitBtn5");
    Label1 = new QLabel("Port-1", this);
    Label1->setObjectName("Label1");
    portRow()->addWidget(BitBtn3);
    portRow()->addWidget(BitBtn4);
    portRow()->addWidget(BitBtn5);
    portRow()->addWidget(Label1);
    portRow()->addStretch();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setTimerType(Qt::PreciseTimer);

    connect(BitBtn3, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn4Click);
    connect(BitBtn5, &QPushButton::clicked, this, &SerialMasterWindow::BitBtn5Click);
    connect(Timer1, &QTimer::timeout, this, &SerialMasterWindow::Timer1Timer);
    addFastBox();
}

void SerialMasterWindow::addFastBox()
{
    FastBox = new QCheckBox("Fast", this);
    FastBox->setObjectName("FastBox");
    FastBox->setToolTip("Take every byte waiting and end the answer as soon as it is complete");
    pollRow()->addWidget(FastBox);
    connect(FastBox, &QCheckBox::toggled, this, [this](bool on) { setFastReceive(on); });
}

void SerialMasterWindow::setUpPorts(int usedPort, int32_t baud, char parity, int16_t dataBits, int16_t stopBits)
{
    ports_.setDefaults(usedPort, baud, parity, dataBits, stopBits);
    UpdatePortLabel();
    StringGrid1->showHint(false);
    BitBtn1->setEnabled(true);
    BitBtn3->setEnabled(true);
    BitBtn4->setEnabled(true);
    BitBtn2->setEnabled(false);
    BitBtn5->setEnabled(false);
}

void SerialMasterWindow::UpdatePortLabel()
{
    ports_.takeCurrent();
    Label1->setText(ports_.label());
}

void SerialMasterWindow::BitBtn3Click()
{
    port_define_action(ports_, portOpen(), [this] { BitBtn5Click(); }, [this] { UpdatePortLabel(); });
}

void SerialMasterWindow::BitBtn4Click()
{
    const PortSetting &s = ports_.current;
    if (link_->open(ports_.usedPort, s.Baud, s.ParityLetter, s.DataBitCount, s.StopBitCount, 0) == 1) {
        show_status_message(strformat("Open COM%d port OK ......", ports_.usedPort));
        BitBtn4->setEnabled(false);
        BitBtn5->setEnabled(true);
    } else {
        show_status_message(strformat("Open COM%d port error !!!!!", ports_.usedPort));
    }
}

void SerialMasterWindow::BitBtn5Click()
{
    if (link_->close(ports_.usedPort) == 1) {
        show_status_message(strformat("Close COM%d port OK ......", ports_.usedPort));
        BitBtn4->setEnabled(true);
        BitBtn5->setEnabled(false);
    } else {
        show_status_message(strformat("Close COM%d port error !!!!!", ports_.usedPort));
    }
}

void SerialMasterWindow::sendRequest(const void *bytes, int32_t n)
{
    link_->write(ports_.usedPort, bytes, n);  // the count written is not checked
    Timer1->setInterval(10);
    Timer1->start();
    restartReceive();
}

void SerialMasterWindow::FormClose()
{
    Timer1->stop();
    station_closed(kind_);
    if (portOpen())
        link_->close(ports_.usedPort);
    released_ = true;
}

SerialMasterWindow::~SerialMasterWindow()
{
    // A window destroyed without being closed (its frame going first) still
    // gives its port back, so that the next station can open it.
    if (!released_ && portOpen())
        link_->close(ports_.usedPort);
}

void SerialMasterWindow::Timer1Timer()
{
    switch (tickReceiver()) {
    case ReceiveEvent::Check: {
        const AnswerCheck check = checkAnswer();
        Memo2->clear();
        Memo2->add(check.response);
        if (check.ok) {
            showAnswer();
        } else {
            Memo2->add(check.error);
            answerFailed();
        }
        break;
    }
    case ReceiveEvent::Overflow:
        // The exchange ends as after a time-out, without the box: on a line
        // that never falls silent (a babbling device, a wrong baud rate) the
        // machine would otherwise start over and overflow again for ever.
        // The Memo2 line tells the operator what happened.
        Timer1->stop();
        Memo2->add(overflowText());
        answerFailed();
        exchangeOver();
        break;
    case ReceiveEvent::TimeOut:
        Timer1->stop();  // no tick while the box is open
        Memo2->add(std::string("Time out error"));
        if (!timedOutQuietly())  // polling goes on without a box each cycle
            show_message_box("RS232C comm. time out error", "Zentavor");
        exchangeOver();
        break;
    case ReceiveEvent::Finish:
        Timer1->stop();
        offerGrid(true);
        exchangeOver();
        break;
    case ReceiveEvent::None:
        break;
    }
}
