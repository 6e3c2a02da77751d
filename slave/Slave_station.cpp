#include "Slave_station.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "Gui_services.h"
#include "Notices.h"
#include "Strformat.h"
#include "Set_Value.h"
#include "Traffic_panel.h"

namespace {

StringGrid *make_grid(QWidget *page, const char *name, int cols)
{
    auto *grid = new StringGrid(page);
    grid->setObjectName(name);
    grid->setColumnCount(cols);
    grid->setHintText("Double click to set value");
    grid->showHint(true);
    auto *lay = new QVBoxLayout(page);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(grid);
    return grid;
}

Traffic_framing traffic_framing(SlaveFraming framing)
{
    switch (framing) {
    case SlaveFraming::Rtu: return Traffic_framing::Rtu;
    case SlaveFraming::Ascii: return Traffic_framing::Ascii;
    case SlaveFraming::Tcp: return Traffic_framing::Tcp;
    }
    return Traffic_framing::Rtu;
}

QWidget *make_page(QTabWidget *pages, const char *name, const char *caption)
{
    auto *page = new QWidget;
    page->setObjectName(name);
    pages->addTab(page, caption);
    return page;
}

}  // namespace

SlaveStationForm::SlaveStationForm(const QString &caption, const SlaveProfile &p, QWidget *parent)
    : QWidget(parent), profile(p), traffic(traffic_framing(p.framing), Traffic_side::Slave)
{
    setWindowTitle(caption);

    auto *top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);

    Panel3 = new QLabel(caption, this);
    Panel3->setObjectName("Panel3");
    Panel3->setFixedHeight(24);
    Panel3->setAlignment(Qt::AlignCenter);
    Panel3->setFrameShape(QFrame::Panel);
    Panel3->setFrameShadow(QFrame::Sunken);
    top->addWidget(Panel3);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(35);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    panel1Layout_ = new QHBoxLayout(Panel1);
    panel1Layout_->setContentsMargins(6, 2, 6, 2);
    top->addWidget(Panel1);

    Panel2 = new QFrame(this);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedHeight(98);
    auto *memos = new QVBoxLayout(Panel2);
    memos->setContentsMargins(0, 0, 0, 0);
    memos->setSpacing(0);
    Memo1 = new Memo(Panel2);
    Memo1->setObjectName("Memo1");
    Memo2 = new Memo(Panel2);
    Memo2->setObjectName("Memo2");
    memos->addWidget(Memo1);
    memos->addWidget(Memo2);
    top->addWidget(Panel2);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    TabSheet1 = make_page(PageControl1, "TabSheet1", "Output Coil");
    TabSheet2 = make_page(PageControl1, "TabSheet2", "Input Relay");
    TabSheet3 = make_page(PageControl1, "TabSheet3", "Output Register");
    TabSheet4 = make_page(PageControl1, "TabSheet4", "Input Register");
    StringGrid1 = make_grid(TabSheet1, "StringGrid1", 9);
    StringGrid2 = make_grid(TabSheet2, "StringGrid2", 9);
    StringGrid3 = make_grid(TabSheet3, "StringGrid3", 3);
    StringGrid4 = make_grid(TabSheet4, "StringGrid4", 3);
    trafficPanel_ = std::make_unique<TrafficPanel>(&traffic.history());
    trafficPanel_->setObjectName("TabSheet5");
    PageControl1->addTab(trafficPanel_.get(), "Traffic");
    PageControl1->setCurrentIndex(0);
    top->addWidget(PageControl1, 1);

    // Some 8500 cells are made here, once; later changes only set their text.
    for (StringGrid *g : {StringGrid1, StringGrid2, StringGrid3, StringGrid4})
        g->setUpdatesEnabled(false);
    setup_bit_grid(*StringGrid1, KindCoil, tables.coils);
    setup_bit_grid(*StringGrid2, KindInputRelay, tables.inputRelays);
    setup_register_grid(*StringGrid3, KindHoldingRegister, tables.holdingRegisters);
    setup_register_grid(*StringGrid4, KindInputRegister, tables.inputRegisters);
    for (StringGrid *g : {StringGrid1, StringGrid2, StringGrid3, StringGrid4}) {
        g->widenColumnToText(0);  // the address ranges, whole in any font
        g->setUpdatesEnabled(true);
    }

    connect(StringGrid1, &QTableWidget::cellDoubleClicked, this, &SlaveStationForm::StringGrid1DblClick);
    connect(StringGrid2, &QTableWidget::cellDoubleClicked, this, &SlaveStationForm::StringGrid2DblClick);
    connect(StringGrid3, &QTableWidget::cellDoubleClicked, this, &SlaveStationForm::StringGrid3DblClick);
    connect(StringGrid4, &QTableWidget::cellDoubleClicked, this, &SlaveStationForm::StringGrid4DblClick);
}

SlaveStationForm::~SlaveStationForm() = default;

QPushButton *SlaveStationForm::addButton(const char *name, const QString &text)
{
    auto *b = new QPushButton(text, Panel1);
    b->setObjectName(name);
    b->setStyleSheet("color: purple;");
    panel1Layout_->addWidget(b);
    return b;
}

void SlaveStationForm::refreshEntry(int kind, uint16_t n)
{
    switch (kind) {
    case KindCoil: show_bit_cell(*StringGrid1, kind, tables.bitByte(kind, n), n); break;
    case KindInputRelay: show_bit_cell(*StringGrid2, kind, tables.bitByte(kind, n), n); break;
    case KindHoldingRegister: show_register_row(*StringGrid3, kind, tables.reg(kind, n), n); break;
    case KindInputRegister: show_register_row(*StringGrid4, kind, tables.reg(kind, n), n); break;
    default: break;
    }
}

void SlaveStationForm::memoAdd(Memo *memo, const std::string &text)
{
    QString line = QString::fromLatin1(text.data(), qsizetype(text.size()));
    line.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    memo->add(line);
}

void SlaveStationForm::serve(const uint8_t *request, size_t n,
                             const std::function<void(const std::vector<uint8_t> &)> &send)
{
    const SlaveReply reply = serve_slave_request(profile, tables, request, n);
    for (const SlaveEvent &e : reply.events) {
        switch (e.type) {
        case SlaveEvent::ClearMemos:
            Memo1->clear();
            Memo2->clear();
            break;
        case SlaveEvent::Log: memoAdd(e.memo == 1 ? Memo1 : Memo2, e.text); break;
        case SlaveEvent::Changed: refreshEntry(e.kind, e.index); break;
        case SlaveEvent::Send:
            if (send)
                send(reply.response);
            break;
        }
    }
}

// ---- editing by hand ---------------------------------------------------------

void SlaveStationForm::editBit(StringGrid *grid, int kind)
{
    const int col = grid->selectedCol(), row = grid->selectedRow();
    if (row <= 0 || col <= 0 || row > kSlaveBitBytes || col > 8)
        return;
    const uint16_t n = uint16_t((row - 1) * 8 + (8 - col));
    uint16_t value = kind == KindCoil ? ReadCoil(n) : ReadInputRelay(n);
    // The entry is read before the dialog opens and written after it closes:
    // a confirmed value replaces whatever a request wrote meanwhile.
    if (set_value_dialog()->EditTableValue(int16_t(kind), n, 0, value) != 0)
        return;
    if (kind == KindCoil)
        WriteCoil(n, value);
    else
        WriteInputRelay(n, value);
    refreshEntry(kind, n);
}

void SlaveStationForm::editRegister(StringGrid *grid, int kind)
{
    const int col = grid->selectedCol(), row = grid->selectedRow();
    if (row <= 0 || col <= 0 || row > kSlaveEntries || col > 2)
        return;
    const uint16_t n = uint16_t(row - 1);
    uint16_t value = tables.reg(kind, n);
    const uint16_t mode = col == 1 ? 0 : 1;
    if (set_value_dialog()->EditTableValue(int16_t(kind), n, mode, value) != 0)
        return;
    if (kind == KindHoldingRegister)
        tables.holdingRegisters[n] = value;
    else
        tables.inputRegisters[n] = value;
    refreshEntry(kind, n);
}

void SlaveStationForm::StringGrid1DblClick() { editBit(StringGrid1, KindCoil); }
void SlaveStationForm::StringGrid2DblClick() { editBit(StringGrid2, KindInputRelay); }
void SlaveStationForm::StringGrid3DblClick() { editRegister(StringGrid3, KindHoldingRegister); }
void SlaveStationForm::StringGrid4DblClick() { editRegister(StringGrid4, KindInputRegister); }

// ---- serial stations -----------------------------------------------------------

SerialSlaveForm::SerialSlaveForm(const QString &caption, const SlaveProfile &p, int stationKind, int usedPort,
                                 char parity, int16_t dataBits, QWidget *parent)
    : SlaveStationForm(caption, p, parent), link_(&default_serial_link()), stationKind_(stationKind)
{
    BitBtn3 = addButton("BitBtn3", "Port Define");
    Label1 = new QLabel("COM1: 9600 N 8 1", Panel1);
    Label1->setObjectName("Label1");
    panel1Layout()->addWidget(Label1);
    panel1Layout()->addSpacing(24);
    BitBtn1 = addButton("BitBtn1", "Open Server");
    BitBtn2 = addButton("BitBtn2", "Close Server");
    panel1Layout()->addStretch(1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(5);

    connect(BitBtn1, &QPushButton::clicked, this, &SerialSlaveForm::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &SerialSlaveForm::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &SerialSlaveForm::BitBtn3Click);
    connect(Timer1, &QTimer::timeout, this, &SerialSlaveForm::Timer1Timer);

    // Creation: closed, grids laid out (above), port table defaults, label.
    BitBtn1->setEnabled(true);
    BitBtn2->setEnabled(false);
    ports.setDefaults(usedPort, 9600, parity, dataBits, 1);
    SerialSlaveForm::UpdatePortLabel();
}

SerialSlaveForm::~SerialSlaveForm()
{
    // A window destroyed without being closed still gives its port back.
    if (!closed_ && serverOpen())
        link_->close(ports.usedPort);
}

bool SerialSlaveForm::serverOpen() const { return BitBtn2->isEnabled(); }

void SerialSlaveForm::UpdatePortLabel()
{
    ports.takeCurrent();
    Label1->setText(ports.label());
}

void SerialSlaveForm::BitBtn1Click()
{
    const PortSetting &c = ports.current;
    const int port = ports.usedPort;
    if (link_->open(port, c.Baud, c.ParityLetter, c.DataBitCount, c.StopBitCount, 0) == 1) {
        show_status_message(strformat("Open COM%d port OK ......", port));
        traffic.event(strformat("COM%d opened", port));
        BitBtn1->setEnabled(false);
        BitBtn2->setEnabled(true);
        Timer1->start();
    } else {
        show_status_message(strformat("Open COM%d port error !!!!!", port));
    }
}

void SerialSlaveForm::BitBtn2Click()
{
    const int port = ports.usedPort;
    if (link_->close(port) == 1) {
        show_status_message(strformat("Close COM%d port OK ......", port));
        traffic.event(strformat("COM%d closed", port));
        BitBtn1->setEnabled(true);
        BitBtn2->setEnabled(false);
        Timer1->stop();
    } else {
        show_status_message(strformat("Close COM%d port error !!!!!", port));
    }
}

void SerialSlaveForm::BitBtn3Click()
{
    port_define_action(ports, serverOpen(), [this] { BitBtn2Click(); }, [this] { UpdatePortLabel(); });
}

void SerialSlaveForm::FormClose()
{
    if (closed_)
        return;
    closed_ = true;
    station_closed(stationKind_);
    if (serverOpen()) {
        Timer1->stop();
        link_->close(ports.usedPort);
    }
}

void SerialSlaveForm::closeEvent(QCloseEvent *event)
{
    FormClose();
    QWidget::closeEvent(event);
}

void SerialSlaveForm::serveSerial(const uint8_t *request, int32_t length)
{
    traffic.rx(request, size_t(length < 0 ? 0 : length));
    serve(request, size_t(length < 0 ? 0 : length), [this](const std::vector<uint8_t> &response) {
        link_->write(ports.usedPort, response.data(), int32_t(response.size()));
        traffic.tx(response.data(), response.size());
    });
}
