#include "Port_Def.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "Modal.h"
#include "Notices.h"
#include "Setup_fields.h"

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

namespace {

const QStringList kPorts = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

QComboBox *pick_list(QWidget *parent, const char *name, const QStringList &items)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(name);
    c->setEditable(false);  // a pick-list: no free text
    c->addItems(items);
    c->setCurrentIndex(0);
    return c;
}

// The two port selectors index the 8-entry table, so they must never be left
// without a chosen item. A non-editable QComboBox cannot be emptied by the
// operator, but setCurrentIndex(-1) from code can; such a change is undone at
// once (quietly), and the dialog's handlers ignore the -1 they are still told
// about.
void keep_an_item(QComboBox *c)
{
    auto last = std::make_shared<int>(c->currentIndex());
    QObject::connect(c, &QComboBox::currentIndexChanged, c, [c, last](int index) {
        if (index >= 0 && index < c->count()) {
            *last = index;
            return;
        }
        QSignalBlocker quiet(c);
        c->setCurrentIndex(*last);
    });
}

bool valid_port_index(int index) { return index >= 0 && index < 8; }

}  // namespace

TPort_DefDlg::TPort_DefDlg(QWidget *parent) : QDialog(parent)
{
    setObjectName("Port_DefDlg");
    setWindowTitle("Communication Parameter Define");
    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);

    auto *panel1 = new QGroupBox("Communication Parameter Define", this);
    panel1->setObjectName("Panel1");
    ComboBox1 = pick_list(panel1, "ComboBox1", kPorts);
    ComboBox2 = pick_list(panel1, "ComboBox2", {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
    ComboBox3 = pick_list(panel1, "ComboBox3", {"None", "Odd", "Even"});
    ComboBox4 = pick_list(panel1, "ComboBox4", {"7", "8"});
    ComboBox5 = pick_list(panel1, "ComboBox5", {"1", "2"});
    auto *grid = new QGridLayout(panel1);
    const char *labels[] = {"COM Port", "Baud Rate", "Parity", "Data Bit", "Stop Bit"};
    QComboBox *boxes[] = {ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5};
    for (int i = 0; i < 5; ++i) {
        auto *l = new QLabel(labels[i], panel1);
        l->setObjectName(QString("Label%1").arg(i + 1));
        l->setBuddy(boxes[i]);
        grid->addWidget(l, i, 0);
        grid->addWidget(boxes[i], i, 1);
    }

    auto *panel2 = new QGroupBox(this);
    panel2->setObjectName("Panel2");
    ComboBox6 = pick_list(panel2, "ComboBox6", kPorts);
    auto *usedRow = new QHBoxLayout(panel2);
    auto *l6 = new QLabel("Used COM Port", panel2);
    l6->setObjectName("Label6");
    l6->setBuddy(ComboBox6);
    usedRow->addWidget(l6);
    usedRow->addWidget(ComboBox6);

    keep_an_item(ComboBox1);
    keep_an_item(ComboBox6);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TPort_DefDlg::ComboBox1Change);
    connect(ComboBox6, &QComboBox::currentIndexChanged, this, &TPort_DefDlg::ComboBox6Change);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setAutoDefault(false);
    // Esc and the close box end a QDialog with reject() as well.
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);

    auto *all = new QVBoxLayout(this);
    all->addWidget(panel1);
    all->addWidget(panel2);
    all->addLayout(buttons);
    all->setSizeConstraint(QLayout::SetFixedSize);  // fixed dialog border
}

TPort_DefDlg::~TPort_DefDlg()
{
    if (Port_DefDlg == this)
        Port_DefDlg = nullptr;
}

int TPort_DefDlg::EditPortTable(PortTable &table, int &usedPort)
{
    work_ = table;
    // A used port outside 1..8 would index past the table; the dialog then
    // opens on COM1.
    workUsed_ = (usedPort >= 1 && usedPort <= 8) ? usedPort : 1;
    ShowPortEntry(workUsed_ - 1);
    if (run_modal(this) != QDialog::Accepted)
        return -1;
    StorePortEntry();
    table = work_;
    usedPort = workUsed_;
    return 0;
}

void TPort_DefDlg::ShowPortEntry(int index)
{
    if (!valid_port_index(index))
        return;
    // Qt reports changes made from code as well as the operator's choices;
    // the selectors are filled here without running the change handlers.
    const bool wasShowing = showing_;
    showing_ = true;
    const PortSetting &e = work_[index];

    ComboBox1->setCurrentIndex(index);
    ComboBox6->setCurrentIndex(workUsed_ - 1);

    int baud = 4;  // "19200" for a speed not offered
    for (int i = 0; i < 8; ++i)
        if (e.Baud == kPortBauds[i])
            baud = i;
    ComboBox2->setCurrentIndex(baud);

    ComboBox3->setCurrentIndex(e.ParityLetter == 'O' ? 1 : e.ParityLetter == 'E' ? 2 : 0);
    ComboBox4->setCurrentIndex(e.DataBitCount == 7 ? 0 : 1);
    ComboBox5->setCurrentIndex(e.StopBitCount == 2 ? 1 : 0);
    showing_ = wasShowing;
}

void TPort_DefDlg::StorePortEntry()
{
    int i = ComboBox1->currentIndex();
    if (!valid_port_index(i))
        i = workUsed_ - 1;  // cannot happen: the port selectors always hold an item
    if (valid_port_index(ComboBox6->currentIndex()))
        workUsed_ = ComboBox6->currentIndex() + 1;

    PortSetting &e = work_[i];
    const int b = ComboBox2->currentIndex();
    e.Baud = (b >= 0 && b < 8) ? kPortBauds[b] : 19200;
    const int p = ComboBox3->currentIndex();
    e.ParityLetter = p == 1 ? 'O' : p == 2 ? 'E' : 'N';
    e.DataBitCount = ComboBox4->currentIndex() == 0 ? 7 : 8;
    e.StopBitCount = ComboBox5->currentIndex() == 1 ? 2 : 1;
}

void TPort_DefDlg::ComboBox1Change(int index)
{
    if (!showing_ && valid_port_index(index))
        ShowPortEntry(index);
}

void TPort_DefDlg::ComboBox6Change(int index)
{
    if (!showing_ && valid_port_index(index))
        workUsed_ = index + 1;
}

bool port_define_action(StationPorts &ports, bool portOpen, const std::function<void()> &closeAction,
                        const std::function<void()> &updateLabel)
{
    PortTable scratch = ports.table;
    int scratchUsed = ports.usedPort;
    if (!Port_DefDlg)
        Port_DefDlg = new TPort_DefDlg;
    if (Port_DefDlg->EditPortTable(scratch, scratchUsed) != 0)
        return false;

    auto store = [&] {
        ports.table = scratch;
        ports.usedPort = scratchUsed;
        ports.takeCurrent();
        if (updateLabel)
            updateLabel();
    };

    if (!portOpen) {
        store();
        return true;
    }
    // An open port keeps running unless its own settings changed; edits to
    // other ports' entries are then dropped with the scratch table.
    if (scratchUsed == ports.usedPort && scratch[scratchUsed - 1] == ports.current)
        return false;
    if (closeAction)
        closeAction();
    store();
    show_message_box("Port's definition has been changed.....\n, Please reopen port again....", "Quillan");
    return true;
}

namespace {

const char *const kParities[] = {"None", "Odd", "Even"};

char parity_letter(const std::string &name) { return name == "Odd" ? 'O' : name == "Even" ? 'E' : 'N'; }
std::string parity_name(char letter) { return letter == 'O' ? "Odd" : letter == 'E' ? "Even" : "None"; }

}  // namespace

void add_port_setup(Setup_fields &fields, StationPorts &ports, std::function<bool()> portOpen,
                    std::function<void()> updateLabel)
{
    // A key of the line: read from the settings in use, written into the
    // used port's entry, kept as it is while the port is open.
    using Read = std::function<Setup_value()>;
    using Write = std::function<void(const Setup_value &)>;
    using Check = std::function<std::string(const Setup_value &)>;
    auto line = [&](Setup_key key, Read read, Write write, Check check = {}) {
        fields.add({.key = std::move(key),
                    .read = read,
                    .write = [write, updateLabel](const Setup_value &v) {
                        write(v);
                        updateLabel();
                    },
                    .check = [read, check, portOpen](const Setup_value &v) -> std::string {
                        if (check)
                            if (std::string why = check(v); !why.empty())
                                return why;
                        if (portOpen() && v != read())
                            return "the port is open: close it before changing its line settings";
                        return {};
                    }});
    };
    StationPorts *p = &ports;
    Setup_key port{.name = "port"};
    for (const QString &name : kPorts)
        port.choices.push_back(name.toStdString());
    line(std::move(port), [p] { return Setup_value("COM" + std::to_string(p->usedPort)); },
         [p](const Setup_value &v) { p->usedPort = std::stoi(std::get<std::string>(v).substr(3)); });
    auto entry = [p]() -> PortSetting & { return p->table[size_t(std::clamp(p->usedPort, 1, 8) - 1)]; };
    line({.name = "baud", .low = double(kPortBauds.front()), .high = double(kPortBauds.back())},
         [p] { return Setup_value(int64_t(p->current.Baud)); },
         [entry](const Setup_value &v) { entry().Baud = int32_t(std::get<int64_t>(v)); },
         [](const Setup_value &v) -> std::string {
             std::string offered;
             for (int32_t b : kPortBauds) {
                 if (b == std::get<int64_t>(v))
                     return {};
                 offered += (offered.empty() ? "" : ", ") + std::to_string(b);
             }
             return "must be one of: " + offered;
         });
    line({.name = "parity", .choices = {std::begin(kParities), std::end(kParities)}},
         [p] { return Setup_value(parity_name(p->current.ParityLetter)); },
         [entry](const Setup_value &v) { entry().ParityLetter = parity_letter(std::get<std::string>(v)); });
    line({.name = "data_bits", .low = 7, .high = 8},
         [p] { return Setup_value(int64_t(p->current.DataBitCount)); },
         [entry](const Setup_value &v) { entry().DataBitCount = int16_t(std::get<int64_t>(v)); });
    line({.name = "stop_bits", .low = 1, .high = 2},
         [p] { return Setup_value(int64_t(p->current.StopBitCount)); },
         [entry](const Setup_value &v) { entry().StopBitCount = int16_t(std::get<int64_t>(v)); });
}
