#include "Master_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "Notices.h"
#include "Set_Data.h"

namespace {

// The grid and the traffic history share the window's lower part as two
// pages, the grid's first and shown: the request fields and buttons above
// keep their places.
QTabWidget *data_and_traffic(QWidget *window, StringGrid *grid, std::unique_ptr<TrafficPanel> &panel,
                             Station_traffic &traffic)
{
    auto *pages = new QTabWidget(window);
    pages->setObjectName("MasterPages");
    pages->addTab(grid, "Data");
    panel = std::make_unique<TrafficPanel>(&traffic.history());
    pages->addTab(panel.get(), "Traffic");
    pages->setCurrentIndex(0);
    // The tab bar takes a row from the grid; at the window's starting size
    // the memos above give it back, and the grid still shows its first rows
    // whole (and the traffic view as many lines).
    constexpr int kRowsShown = 5;  // the header row and four values
    const int frames = 2 * pages->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2 * grid->frameWidth();
    pages->setMinimumHeight(pages->tabBar()->sizeHint().height() + frames +
                            kRowsShown * grid->verticalHeader()->defaultSectionSize());
    // The traffic buttons sit beside the tabs, shown with the Traffic page
    // only: the window is short of height, and the view gets their row.
    QWidget *buttons = panel->buttonRow();
    pages->setCornerWidget(buttons, Qt::TopRightCorner);
    buttons->hide();
    QObject::connect(pages, &QTabWidget::currentChanged, buttons,
                     [buttons, pages](int index) { buttons->setVisible(index == 1 && pages->count() > 1); });
    return pages;
}

}  // namespace

void add_labelled(QHBoxLayout *row, const QString &label, QWidget *control)
{
    auto *l = new QLabel(label, control->parentWidget());
    l->setBuddy(control);
    row->addWidget(l);
    row->addWidget(control);
}

QLineEdit *make_number_field(QWidget *parent, const char *name, int places, const QString &initial)
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(name);
    // Digit places that may stay empty, shown as "_". Unlike a designer mask
    // field, text() returns the digits without the blanks; both field readers
    // read the places as shown.
    edit->setInputMask(QString(places, QLatin1Char('0')) + ";_");
    edit->setText(initial);
    edit->setMaximumWidth(20 + 12 * places);
    return edit;
}

MasterWindow::MasterWindow(const QString &caption, const QString &header, CountLimits limits, int countPlaces,
                           Traffic_framing framing, QWidget *parent)
    : QWidget(parent), traffic_(framing, Traffic_side::Master), limits_(limits)
{
    setAttribute(Qt::WA_DeleteOnClose);  // the window is freed when closed
    setWindowTitle(caption);

    Panel1 = new QLabel(header, this);
    Panel1->setObjectName("Panel1");
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    QFont big = Panel1->font();
    big.setPointSize(big.pointSize() + 4);
    big.setBold(true);
    Panel1->setFont(big);
    Panel1->setMinimumHeight(36);

    portRow_ = new QHBoxLayout;

    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->addItems({"Output Coil (Addr: 0xxxx)", "Input Relay (Addr: 1xxxx)",
                         "Holding Register (Addr: 4xxxx)", "Input Register (Addr: 3xxxx)"});
    MaskEdit1 = make_number_field(this, "MaskEdit1", 3, "1");
    MaskEdit2 = make_number_field(this, "MaskEdit2", 4, "1");
    MaskEdit3 = make_number_field(this, "MaskEdit3", countPlaces, "1");
    BitBtn1 = new QPushButton("Send command", this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn2 = new QPushButton("Set data value", this);
    BitBtn2->setObjectName("BitBtn2");

    // The four request fields in two rows of two, so that the window still
    // fits the main frame at its starting size.
    auto *fields = new QGridLayout;
    auto field = [this, fields](int row, int col, const QString &label, QWidget *control) {
        auto *l = new QLabel(label, this);
        l->setBuddy(control);
        fields->addWidget(l, row, 2 * col);
        fields->addWidget(control, row, 2 * col + 1, Qt::AlignLeft);
    };
    field(0, 0, "Function Code", ComboBox1);
    field(0, 1, "Modbus Device Address", MaskEdit1);
    field(1, 0, "Register/Relay Address", MaskEdit2);
    field(1, 1, "Communication Words/Bits", MaskEdit3);
    fields->setColumnStretch(4, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addStretch();

    Memo1 = new Memo(this);
    Memo1->setObjectName("Memo1");
    Memo2 = new Memo(this);
    Memo2->setObjectName("Memo2");
    Memo1->setMaximumHeight(70);
    Memo2->setMaximumHeight(110);

    StringGrid1 = new StringGrid(this);
    StringGrid1->setObjectName("StringGrid1");
    StringGrid1->setHintText("Double click to set data value");

    auto *all = new QVBoxLayout(this);
    all->addWidget(Panel1);
    all->addLayout(portRow_);
    all->addLayout(fields);
    all->addLayout(buttons);
    all->addWidget(Memo1);
    all->addWidget(Memo2);
    all->addWidget(data_and_traffic(this, StringGrid1, trafficPanel_, traffic_), 1);

    connect(BitBtn1, &QPushButton::clicked, this, &MasterWindow::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &MasterWindow::BitBtn2Click);
    connect(StringGrid1, &QTableWidget::cellDoubleClicked, this, [this] { StringGrid1DblClick(); });
}

int MasterWindow::CheckRequestFields()
{
    const int rc = check_master_request(readRequestField(MaskEdit1), readRequestField(MaskEdit2),
                                        readRequestField(MaskEdit3), ComboBox1->currentIndex(), limits_,
                                        request_, *StringGrid1);
    if (rc == 0)
        StringGrid1->widenColumnToText(0);  // the address labels, whole in any font
    return rc;
}

void MasterWindow::beginRequest()
{
    StringGrid1->showHint(false);
    BitBtn2->setEnabled(false);
}

void MasterWindow::offerGrid(bool focusGrid)
{
    const bool writable = request_.kind == 0 || request_.kind == 2;
    StringGrid1->showHint(writable);
    BitBtn2->setEnabled(writable);
    StringGrid1->selectCell(request_.kind < 2 ? 8 : 1, 1);
    if (focusGrid)
        StringGrid1->setFocus();
}

void MasterWindow::BitBtn2Click()
{
    MasterWrite write;
    uint16_t mode = 0;
    if (!pick_master_write(*StringGrid1, StringGrid1->selectedRow(), StringGrid1->selectedCol(), request_, write,
                           mode))
        return;
    write_ = write;
    if (set_data_dialog()->AskDataValue(write_.function, write_.address, mode, write_.value) != 0)
        return;
    sendWrite();
}

void MasterWindow::StringGrid1DblClick()
{
    if (BitBtn2->isEnabled())
        BitBtn2Click();
}

void MasterWindow::closeEvent(QCloseEvent *event)
{
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    QWidget::closeEvent(event);
}

void MasterWindow::BitBtn1Click()
{
    if (!linkOpen()) {
        show_message_box(notOpenText());
        return;
    }
    if (CheckRequestFields() != 0)
        return;
    beginRequest();
    if (prepareQuery(request_.kind + 1u, request_.start, request_.count, 0) != 0) {
        show_message_box(prepareErrorText());
        return;
    }
    SendQuery();
}

void MasterWindow::sendWrite()
{
    if (prepareQuery(write_.function, write_.address, 1, write_.value) != 0) {
        show_message_box(prepareErrorText());
        return;
    }
    SendQuery();
}
