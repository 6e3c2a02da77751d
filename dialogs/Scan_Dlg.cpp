#include "Scan_Dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "Notices.h"
#include "Replaced_file.h"

namespace {

ScanFileAsker g_fileAsker;

QString ask_scan_file(QWidget *parent)
{
    if (g_fileAsker)
        return g_fileAsker(parent);
    QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Save scan results"), QString(),
                                                QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
        name += QStringLiteral(".csv");
    return name;
}

const Scan_probe kProbes[] = {Scan_probe::Holding_register, Scan_probe::Input_register, Scan_probe::Coil,
                              Scan_probe::Device_identification};

QString probe_table_name(Scan_probe p)
{
    switch (p) {
    case Scan_probe::Holding_register: return "holding register";
    case Scan_probe::Input_register: return "input register";
    default: return "coil";
    }
}

}  // namespace

void set_scan_file_asker(ScanFileAsker asker) { g_fileAsker = std::move(asker); }

TScan_Dlg::TScan_Dlg(Scan_station &station, QWidget *parent)
    : QDialog(parent), station_(station), scan_(std::make_unique<Unit_scan>(station))
{
    setObjectName("Scan_Dlg");
    setWindowTitle("Scan for devices");

    FirstUnit = new QSpinBox(this);
    FirstUnit->setObjectName("FirstUnit");
    FirstUnit->setRange(Unit_scan::kMinUnit, Unit_scan::kMaxUnit);
    FirstUnit->setValue(Unit_scan::kMinUnit);
    LastUnit = new QSpinBox(this);
    LastUnit->setObjectName("LastUnit");
    LastUnit->setRange(Unit_scan::kMinUnit, Unit_scan::kMaxUnit);
    LastUnit->setValue(Unit_scan::kMaxUnit);
    ScanProbe = new QComboBox(this);
    ScanProbe->setObjectName("ScanProbe");
    ScanProbe->addItems({"Read holding register", "Read input register", "Read coil", "Device identification (43/14)"});
    ScanAddress = new QLineEdit(QString::fromStdString(scan_first_address(Scan_probe::Holding_register)), this);
    ScanAddress->setObjectName("ScanAddress");
    ScanAddress->setMaxLength(6);
    ScanAddress->setMaximumWidth(ScanAddress->fontMetrics().horizontalAdvance("4000000") + 16);
    lastDefault_ = ScanAddress->text();
    ScanTimeoutMs = new QSpinBox(this);
    ScanTimeoutMs->setObjectName("ScanTimeoutMs");
    ScanTimeoutMs->setRange(Unit_scan::kMinTimeoutMs, Unit_scan::kMaxTimeoutMs);
    ScanTimeoutMs->setValue(200);
    ScanTimeoutMs->setSuffix(" ms");
    ScanTimeoutMs->setToolTip("How long each address is waited for");
    ScanBauds = new QCheckBox("Try every line setting", this);
    ScanBauds->setObjectName("ScanBauds");
    ScanBauds->setToolTip("1200 to 115200 baud, each with N 1, E 1, O 1 and N 2 stop bits; "
                          "the scan stops after the first setting where a device answers");
    // Only a serial line has settings to try.
    ScanBauds->setVisible(scan_is_serial(station_.scanTransport()));

    auto *fields = new QGridLayout;
    auto field = [this, fields](int row, int col, const QString &label, QWidget *control) {
        auto *l = new QLabel(label, this);
        l->setBuddy(control);
        fields->addWidget(l, row, 2 * col);
        fields->addWidget(control, row, 2 * col + 1, Qt::AlignLeft);
    };
    field(0, 0, "First unit", FirstUnit);
    field(0, 1, "Last unit", LastUnit);
    field(1, 0, "Probe", ScanProbe);
    field(1, 1, "Address", ScanAddress);
    field(2, 0, "Time-out", ScanTimeoutMs);
    fields->addWidget(ScanBauds, 2, 2, 1, 2);
    fields->setColumnStretch(4, 1);

    ScanStart = new QPushButton("Start", this);
    ScanStart->setObjectName("ScanStart");
    ScanStop = new QPushButton("Stop", this);
    ScanStop->setObjectName("ScanStop");
    ScanProgress = new QProgressBar(this);
    ScanProgress->setObjectName("ScanProgress");
    ScanProgress->setRange(0, 1);
    ScanProgress->setValue(0);
    ScanAt = new QLabel(this);
    ScanAt->setObjectName("ScanAt");
    // Room for the longest text it shows ("Unit 247 at 115200 O 8 1").
    ScanAt->setMinimumWidth(ScanAt->fontMetrics().horizontalAdvance("Unit 247 at 115200 O 8 1") + 8);
    auto *run = new QHBoxLayout;
    run->addWidget(ScanStart);
    run->addWidget(ScanStop);
    run->addWidget(ScanProgress, 1);
    run->addWidget(ScanAt);

    ScanResults = new QTableWidget(0, 5, this);
    ScanResults->setObjectName("ScanResults");
    ScanResults->setHorizontalHeaderLabels({"Unit", "Setting", "Answer", "Time", "Identity"});
    ScanResults->verticalHeader()->hide();
    ScanResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ScanResults->setSelectionBehavior(QAbstractItemView::SelectRows);
    ScanResults->setSelectionMode(QAbstractItemView::SingleSelection);
    ScanResults->horizontalHeader()->setStretchLastSection(true);
    // Each column as wide as its longest text; the identity takes the rest.
    const QFontMetrics fm = ScanResults->fontMetrics();
    const int pad = 2 * fm.horizontalAdvance("  ");
    int width = 0;
    int column = 0;
    for (const char *widest : {"Unit ", "115200 O 8 1", "exception 0B", "5000 ms", "Vendor / Product / 1.00"}) {
        const int w = fm.horizontalAdvance(widest) + pad;
        ScanResults->setColumnWidth(column++, w);
        width += w;
    }
    ScanResults->setMinimumSize(width + 2 * ScanResults->frameWidth() + 24, 180);

    ScanSave = new QPushButton("Save…", this);
    ScanSave->setObjectName("ScanSave");
    ScanUse = new QPushButton("Use", this);
    ScanUse->setObjectName("ScanUse");
    ScanUse->setToolTip("The selected device's address, and its line setting, into the station");
    CloseBtn = new QPushButton("Close", this);
    CloseBtn->setObjectName("CloseBtn");
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(ScanSave);
    bottom->addWidget(ScanUse);
    bottom->addStretch();
    bottom->addWidget(CloseBtn);

    auto *all = new QVBoxLayout(this);
    all->addLayout(fields);
    all->addLayout(run);
    all->addWidget(ScanResults, 1);
    all->addLayout(bottom);

    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);

    connect(ScanStart, &QPushButton::clicked, this, &TScan_Dlg::ScanStartClick);
    connect(ScanStop, &QPushButton::clicked, this, &TScan_Dlg::ScanStopClick);
    connect(ScanSave, &QPushButton::clicked, this, &TScan_Dlg::ScanSaveClick);
    connect(ScanUse, &QPushButton::clicked, this, &TScan_Dlg::ScanUseClick);
    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(timer_, &QTimer::timeout, this, &TScan_Dlg::wake);
    connect(ScanProbe, &QComboBox::currentIndexChanged, this, &TScan_Dlg::probeChanged);
    connect(ScanResults, &QTableWidget::itemSelectionChanged, this,
            [this] { ScanUse->setEnabled(!scanning() && !ScanResults->selectedItems().isEmpty()); });
    setIdle(true);
}

// The station goes first when it is closed during a scan: it takes its link
// back itself, and nothing here may call it.
TScan_Dlg::~TScan_Dlg() { timer_->stop(); }

bool TScan_Dlg::scanning() const { return lent_; }

void TScan_Dlg::showEvent(QShowEvent *event)
{
    // The link's kind may have changed since the last time (the TCP framing).
    ScanBauds->setVisible(scan_is_serial(station_.scanTransport()));
    QDialog::showEvent(event);
}

void TScan_Dlg::probeChanged(int index)
{
    const Scan_probe probe = kProbes[std::clamp(index, 0, 3)];
    // An address nobody typed follows the probe's table.
    const QString first = QString::fromStdString(scan_first_address(probe));
    if (ScanAddress->text() == lastDefault_ && !first.isEmpty()) {
        ScanAddress->setText(first);
        lastDefault_ = first;
    }
    ScanAddress->setEnabled(probe != Scan_probe::Device_identification && !scanning());
}

void TScan_Dlg::setIdle(bool idle)
{
    for (QWidget *w : std::initializer_list<QWidget *>{FirstUnit, LastUnit, ScanProbe, ScanTimeoutMs, ScanBauds, ScanStart,
                                                        ScanSave})
        w->setEnabled(idle);
    ScanAddress->setEnabled(idle && ScanProbe->currentIndex() != 3);
    ScanStop->setEnabled(!idle);
    ScanUse->setEnabled(idle && !ScanResults->selectedItems().isEmpty());
}

void TScan_Dlg::ScanStartClick()
{
    if (lent_)
        return;
    const Scan_probe probe = kProbes[std::clamp(ScanProbe->currentIndex(), 0, 3)];
    Scan_options o;
    o.transport = station_.scanTransport();
    o.probe = probe;
    if (!scan_address_index(ScanAddress->text().toStdString(), probe, o.index)) {
        const QString first = QString::fromStdString(scan_first_address(probe));
        show_message_box(QString("Address must be a %1 address: %2 - %3, or 1 - 9999")
                             .arg(probe_table_name(probe), first, first.left(1) + "9999")
                             .toStdString());
        return;
    }
    o.first_unit = FirstUnit->value();
    o.last_unit = LastUnit->value();
    o.timeout_ms = ScanTimeoutMs->value();
    o.setting_text = station_.scanSettingText();
    o.transaction = station_.scanTransaction();
    if (scan_is_serial(o.transport)) {
        o.sweep = ScanBauds->isChecked();
        o.settings = o.sweep ? scan_sweep_settings(o.transport == Scan_transport::Ascii ? 7 : 8)
                             : std::vector<Scan_setting>{station_.scanLine()};
    }
    if (o.first_unit > o.last_unit) {
        show_message_box("First unit must not be above the last unit");
        return;
    }
    const std::string refused = station_.scanBegin([this](const uint8_t *d, size_t n) { bytes(d, n); },
                                                   [this] { finish("Stopped: the link went"); });
    if (!refused.empty()) {
        show_message_box(refused);
        return;
    }
    lent_ = true;
    ScanResults->setRowCount(0);
    shownRows_ = 0;
    const std::string why = scan_->start(o, station_.scanNow());
    if (!why.empty()) {
        lent_ = false;
        station_.scanEnd();
        show_message_box(why);
        return;
    }
    ScanProgress->setRange(0, scan_->probesTotal());
    ScanProgress->setValue(0);
    setIdle(false);
    wake();
}

void TScan_Dlg::wake()
{
    if (!lent_)
        return;
    const int64_t now = station_.scanNow();
    const int64_t next = scan_->wake(now);
    showRows();
    if (next < 0) {
        const QString failure = QString::fromStdString(scan_->failure());
        finish(!failure.isEmpty() ? failure : QString("Done: %1 found").arg(scan_->rows().size()));
        return;
    }
    ScanProgress->setValue(scan_->probesDone());
    const QString setting = QString::fromStdString(scan_->settingText());
    ScanAt->setText(scan_is_serial(station_.scanTransport()) ? QString("Unit %1 at %2").arg(scan_->unit()).arg(setting)
                                                             : QString("Unit %1").arg(scan_->unit()));
    timer_->start(int(std::clamp<int64_t>(next - now, 0, Unit_scan::kMaxTimeoutMs * 2)));
}

void TScan_Dlg::bytes(const uint8_t *data, size_t n)
{
    if (!lent_)
        return;
    scan_->received(data, n, station_.scanNow());
    wake();  // the next probe goes out at once when this one is answered
}

void TScan_Dlg::showRows()
{
    const auto &rows = scan_->rows();
    for (; shownRows_ < int(rows.size()); ++shownRows_) {
        const Scan_row &r = rows[size_t(shownRows_)];
        const int at = ScanResults->rowCount();
        ScanResults->insertRow(at);
        const QString cells[] = {QString::number(r.unit), QString::fromStdString(r.setting),
                                 QString::fromStdString(r.answer), QString("%1 ms").arg(r.time_ms),
                                 QString::fromStdString(r.identity)};
        for (int c = 0; c < 5; ++c)
            ScanResults->setItem(at, c, new QTableWidgetItem(cells[c]));
    }
}

void TScan_Dlg::finish(const QString &why)
{
    if (!lent_)
        return;
    timer_->stop();
    scan_->stop();
    showRows();
    lent_ = false;
    station_.scanTransactionUsed(scan_->nextTransaction());
    station_.scanEnd();
    ScanProgress->setValue(scan_->probesDone() >= scan_->probesTotal() || why.startsWith("Done")
                               ? ScanProgress->maximum()
                               : scan_->probesDone());
    ScanAt->setText(why);
    setIdle(true);
}

void TScan_Dlg::ScanStopClick() { finish(QString("Stopped: %1 found").arg(scan_->rows().size())); }

void TScan_Dlg::reject()
{
    if (lent_) {
        ScanStopClick();
        return;
    }
    QDialog::reject();
}

void TScan_Dlg::ScanSaveClick()
{
    const QString path = ask_scan_file(this);
    if (path.isEmpty())
        return;
    Replaced_file file(path.toStdString());
    file.write(scan_csv(scan_->rows()));
    if (const int err = file.commit(); err != 0)
        show_message_box(QString("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))).toStdString());
}

void TScan_Dlg::ScanUseClick()
{
    const QList<QTableWidgetItem *> picked = ScanResults->selectedItems();
    if (lent_ || picked.isEmpty())
        return;
    const int row = picked.first()->row();
    if (row < 0 || row >= int(scan_->rows().size()))
        return;
    const Scan_row &r = scan_->rows()[size_t(row)];
    station_.scanUse(r.unit, scan_is_serial(station_.scanTransport()) ? &r.line : nullptr);
    accept();
}
