#include "Slave_station.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "Bench_strip.h"
#include "Gui_services.h"
#include "Notices.h"
#include "Refresh_throttle.h"
#include "Register_view.h"
#include "Set_Format_Value.h"
#include "Set_Value.h"
#include "Slave_listener.h"
#include "Strformat.h"
#include "Table_csv.h"
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

const char *station_name(SlaveFraming framing)
{
    switch (framing) {
    case SlaveFraming::Rtu: return setup_station_name(SlaveRtu);
    case SlaveFraming::Ascii: return setup_station_name(SlaveAscii);
    case SlaveFraming::Tcp: break;
    }
    return setup_station_name(SlaveTcp);
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

TableFileAsker g_tableFileAsker;

// What a station says it is in its device identification.
const char *station_product(SlaveFraming framing)
{
    switch (framing) {
    case SlaveFraming::Rtu: return "Slave RTU";
    case SlaveFraming::Ascii: return "Slave ASCII";
    case SlaveFraming::Tcp: return "Slave TCP";
    }
    return "Slave TCP";
}

QString ask_table_file(QWidget *parent, bool save)
{
    const QString filter = QStringLiteral("CSV files (*.csv);;All files (*)");
    if (save) {
        QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Save tables"), QString(), filter);
        if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".csv");
        return name;
    }
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Load tables"), QString(), filter);
}

// A device map for the station's tables, named by its file in messages.
std::string read_station_map(const QString &path, SlaveMap &out)
{
    return load_slave_map(path.toStdString(), QFileInfo(path).fileName().toStdString(), out, kSlaveEntries);
}

}  // namespace

void set_table_file_asker(TableFileAsker asker) { g_tableFileAsker = std::move(asker); }

SlaveStationForm::SlaveStationForm(const QString &caption, const SlaveProfile &p, QWidget *parent)
    : QWidget(parent), profile(p), traffic(traffic_framing(p.framing), Traffic_side::Slave),
      setup_(station_name(p.framing))
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
    auto *panel1Row = new QHBoxLayout(Panel1);
    panel1Row->setContentsMargins(6, 2, 6, 2);
    panel1Layout_ = new QHBoxLayout;
    panel1Layout_->setContentsMargins(0, 0, 0, 0);
    panel1Row->addLayout(panel1Layout_, 1);
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

    // Made last, so that it comes last in the focus chain: the window takes
    // the focus where it did without the strip, and keys typed into a new
    // window never land in the unit filter. It stands below Panel1.
    OptionStrip = new BenchStrip(p.framing != SlaveFraming::Tcp, this);
    top->insertWidget(top->indexOf(Panel1) + 1, OptionStrip);

    valueColumnWidth_ = StringGrid3->columnWidth(1);
    clock_.start();
    answerTimer_ = new QTimer(this);
    answerTimer_->setSingleShot(true);
    answerTimer_->setTimerType(Qt::PreciseTimer);
    connect(answerTimer_, &QTimer::timeout, this, [this] { sendDueAnswers(); });
    statsTimer_ = new QTimer(this);
    statsTimer_->setSingleShot(true);
    statsTimer_->setInterval(kStatsRefreshMs);
    connect(statsTimer_, &QTimer::timeout, this, &SlaveStationForm::refreshStats);
    gridRefresh_ = new RefreshThrottle(kGridRefreshMs, [this] { refreshChangedEntries(); }, this);
    for (StringGrid *g : {StringGrid1, StringGrid2, StringGrid3, StringGrid4})
        g->setBeforeRead([this] { refreshChangedEntries(); });

    BenchStrip *o = OptionStrip;
    connect(o->UnitIds, &QLineEdit::editingFinished, this, &SlaveStationForm::UnitIdsEditingFinished);
    connect(o->DelayMs, &QSpinBox::valueChanged, this, &SlaveStationForm::applyFaultOptions);
    connect(o->DropEvery, &QSpinBox::valueChanged, this, [this] {
        // "Every N-th" counts from the moment N is set.
        bench.faultState = FaultState{};
        applyFaultOptions();
    });
    connect(o->ForceException, &QComboBox::currentIndexChanged, this, &SlaveStationForm::applyFaultOptions);
    if (o->CorruptBox)
        connect(o->CorruptBox, &QCheckBox::toggled, this, &SlaveStationForm::applyFaultOptions);
    connect(o->FormatBox, &QComboBox::currentIndexChanged, this, &SlaveStationForm::setRegisterFormat);
    connect(o->ResetStats, &QPushButton::clicked, this, &SlaveStationForm::ResetStatsClick);
    connect(o->LoadTables, &QPushButton::clicked, this, &SlaveStationForm::LoadTablesClick);
    connect(o->SaveTables, &QPushButton::clicked, this, &SlaveStationForm::SaveTablesClick);

    // Last in the focus chain, as the strip.
    SaveSetup = new QPushButton("Save setup…", Panel1);
    SaveSetup->setObjectName("SaveSetup");
    SaveSetup->setToolTip("Writes the settings of this window to a setup file");
    OpenSetup = new QPushButton("Open setup…", Panel1);
    OpenSetup->setObjectName("OpenSetup");
    OpenSetup->setToolTip("Takes the settings of a setup file; the server stays as it is");
    // Beside the table pages' tabs: the button row above is full once a
    // serial station shows its listening box.
    auto *setupButtons = new QWidget(PageControl1);
    auto *setupRow = new QHBoxLayout(setupButtons);
    setupRow->setContentsMargins(0, 0, 2, 0);
    for (QPushButton *b : {SaveSetup, OpenSetup}) {
        b->setParent(setupButtons);
        b->setStyleSheet("color: purple;");
        setupRow->addWidget(b);
    }
    PageControl1->setCornerWidget(setupButtons, Qt::TopRightCorner);
    connect(SaveSetup, &QPushButton::clicked, this, &SlaveStationForm::SaveSetupClick);
    connect(OpenSetup, &QPushButton::clicked, this, &SlaveStationForm::OpenSetupClick);

    // The unit filter is taken when its field is left; a setup's at once.
    setup_.add({.key = {.name = "units", .max_length = UnitFilter::kMaxText},
                .read = [o] { return Setup_value(o->UnitIds->text().toStdString()); },
                .write =
                    [this](const Setup_value &v) {
                        OptionStrip->UnitIds->setText(QString::fromStdString(std::get<std::string>(v)));
                        UnitIdsEditingFinished();
                    },
                .check = [](const Setup_value &v) {
                    UnitFilter filter;
                    std::string error;
                    return UnitFilter::parse(std::get<std::string>(v), filter, error) ? std::string() : error;
                }});
    setup_.add_spin("delay_ms", o->DelayMs);
    setup_.add_spin("drop_every", o->DropEvery);
    setup_.add_choice("exception", o->ForceException);
    if (o->CorruptBox)
        setup_.add_check("corrupt_checksum", o->CorruptBox);
    setup_.add_choice("value_format", o->FormatBox);

    bench.serving.identity.product = station_product(p.framing);
    connect(o->MoreCodes, &QCheckBox::toggled, this, &SlaveStationForm::MoreCodesClick);
    connect(o->LoadMap, &QPushButton::clicked, this, &SlaveStationForm::LoadMapClick);
    SimTimer = new QTimer(this);
    SimTimer->setObjectName("SimTimer");
    SimTimer->setInterval(int(kSimTickMs));
    connect(SimTimer, &QTimer::timeout, this, &SlaveStationForm::SimTimerTimer);

    setup_.add_check("more_codes", o->MoreCodes);
    // The map is read while the setup is checked and taken once every key
    // has passed: one that does not load changes nothing.
    auto next = std::make_shared<SlaveMap>();
    setup_.add({.key = {.name = "map"},
                .read = [this] { return Setup_value(QFile::encodeName(mapPath_).toStdString()); },
                .write =
                    [this, next](const Setup_value &v) {
                        setMap(std::move(*next), QFile::decodeName(std::get<std::string>(v).c_str()));
                        *next = SlaveMap{};
                    },
                .check =
                    [next](const Setup_value &v) {
                        const std::string &path = std::get<std::string>(v);
                        *next = SlaveMap{};
                        return path.empty() ? std::string()
                                            : read_station_map(QFile::decodeName(path.c_str()), *next);
                    },
                .file_path = true});
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
    case KindHoldingRegister:
        if (format_ == ValueFormat::Signed)
            show_register_row(*StringGrid3, kind, tables.reg(kind, n), n);
        else
            show_register_group(*StringGrid3, kind, format_, tables.holdingRegisters, n);
        break;
    case KindInputRegister:
        if (format_ == ValueFormat::Signed)
            show_register_row(*StringGrid4, kind, tables.reg(kind, n), n);
        else
            show_register_group(*StringGrid4, kind, format_, tables.inputRegisters, n);
        break;
    default: break;
    }
    if (ValuesGrid)
        for (size_t i : map_.covering(kind, n))
            showMapRow(i);
}

void SlaveStationForm::entryChanged(int kind, uint16_t n)
{
    if (kind < 1 || kind > 4 || n >= kSlaveEntries || changed_[kind - 1][n])
        return;
    changed_[kind - 1][n] = true;
    changedList_.emplace_back(kind, n);
    gridRefresh_->schedule();
}

void SlaveStationForm::refreshChangedEntries()
{
    gridRefresh_->refreshing();
    const std::vector<std::pair<int, uint16_t>> entries = std::exchange(changedList_, {});
    for (const auto &[kind, n] : entries) {
        changed_[kind - 1][n] = false;
        refreshEntry(kind, n);
    }
}

void SlaveStationForm::memoAdd(Memo *memo, const std::string &text)
{
    QString line = QString::fromLatin1(text.data(), qsizetype(text.size()));
    line.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    memo->add(line);
}

void SlaveStationForm::serve(const uint8_t *request, size_t n,
                             const std::function<void(const std::vector<uint8_t> &)> &send, AnswerQueue *later,
                             const Traffic_link *link)
{
    const SlaveBenchReply out = bench.serve(*servingProfile_, tables, request, n);
    const SlaveReply &reply = out.reply;
    // What the filter and the injected faults did is an event of the history.
    for (const std::string &note : out.notes)
        traffic.event(note, link ? *link : traffic.link());
    for (const SlaveEvent &e : reply.events) {
        switch (e.type) {
        case SlaveEvent::ClearMemos:
            Memo1->clear();
            Memo2->clear();
            break;
        case SlaveEvent::Log: memoAdd(e.memo == 1 ? Memo1 : Memo2, e.text); break;
        case SlaveEvent::Changed:
            map_.simulation().written(e.kind, e.index);
            entryChanged(e.kind, e.index);
            break;
        case SlaveEvent::Send:
            if (!send)
                break;
            if (later && (out.delayMs > 0 || !later->empty())) {
                // Delayed, or behind a delayed answer: it goes from the queue.
                if (later->push(nowMs() + out.delayMs, reply.response))
                    armAnswerTimer(later->nextDue());
                else
                    memoAdd(Memo2, strformat("Not answered: %zu answers already wait", later->size()));
            } else {
                send(reply.response);
            }
            break;
        }
    }
    statsChanged();
}

void SlaveStationForm::armAnswerTimer(int64_t dueMs)
{
    if (answerTimer_->isActive() && answerDue_ <= dueMs)
        return;
    answerDue_ = dueMs;
    answerTimer_->start(int(std::max<int64_t>(0, dueMs - nowMs())));
}

void SlaveStationForm::statsChanged()
{
    if (!statsTimer_->isActive())
        statsTimer_->start();
}

void SlaveStationForm::refreshStats()
{
    statsTimer_->stop();
    OptionStrip->StatsLabel->setText(QString::fromStdString(statsText()));
}

std::string SlaveStationForm::statsText() const { return bench.stats.label(); }

void SlaveStationForm::resetStats() { bench.stats.reset(); }

// ---- the test-bench strip ------------------------------------------------------

void SlaveStationForm::UnitIdsEditingFinished()
{
    const QString text = OptionStrip->UnitIds->text();
    UnitFilter filter;
    std::string error;
    if (!UnitFilter::parse(text.toStdString(), filter, error)) {
        // editingFinished comes again when the box takes the focus: one box
        // per list. The typed text stays for the operator to correct.
        if (text != refusedUnits_) {
            refusedUnits_ = text;
            show_message_box("Unit addresses not changed: " + error, "Quillan");
        }
        return;
    }
    refusedUnits_.clear();
    bench.units = filter;
    OptionStrip->UnitIds->setText(QString::fromStdString(filter.text()));
}

void SlaveStationForm::applyFaultOptions()
{
    const BenchStrip *o = OptionStrip;
    FaultOptions f;
    f.delayMs = o->DelayMs->value();
    f.dropEvery = unsigned(o->DropEvery->value());
    f.exceptionCode = uint8_t(o->ForceException->currentData().toInt());
    f.corruptChecksum = o->CorruptBox && o->CorruptBox->isChecked();
    bench.faults = f;
}

void SlaveStationForm::ResetStatsClick()
{
    resetStats();
    refreshStats();
}

void SlaveStationForm::setRegisterFormat(int index)
{
    ValueFormat format;
    if (!value_format_from_index(index, format) || format == format_)
        return;
    format_ = format;
    for (StringGrid *g : {StringGrid3, StringGrid4})
        g->setUpdatesEnabled(false);
    show_register_values(*StringGrid3, KindHoldingRegister, format_, tables.holdingRegisters);
    show_register_values(*StringGrid4, KindInputRegister, format_, tables.inputRegisters);
    for (StringGrid *g : {StringGrid3, StringGrid4}) {
        // Wide enough for any value of the format and its heading; the
        // grids' own width again in Signed.
        if (format_ == ValueFormat::Signed) {
            g->setColumnWidth(1, valueColumnWidth_);
        } else {
            const QFontMetrics fm = g->fontMetrics();
            const int text = std::max(fm.horizontalAdvance(QString::fromLatin1(widest_register_text(format_))),
                                      fm.horizontalAdvance(QString::fromLatin1(value_format_text(format_))));
            g->setColumnWidth(1, std::max(valueColumnWidth_, text + 16));
        }
        g->setUpdatesEnabled(true);
    }
}

void SlaveStationForm::showAllEntries()
{
    for (StringGrid *g : {StringGrid1, StringGrid2, StringGrid3, StringGrid4})
        g->setUpdatesEnabled(false);
    for (int n = 0; n < kSlaveEntries; ++n) {
        show_bit_cell(*StringGrid1, KindCoil, tables.coils[n / 8], uint16_t(n));
        show_bit_cell(*StringGrid2, KindInputRelay, tables.inputRelays[n / 8], uint16_t(n));
    }
    show_register_values(*StringGrid3, KindHoldingRegister, format_, tables.holdingRegisters);
    show_register_values(*StringGrid4, KindInputRegister, format_, tables.inputRegisters);
    for (StringGrid *g : {StringGrid1, StringGrid2, StringGrid3, StringGrid4})
        g->setUpdatesEnabled(true);
}

bool SlaveStationForm::loadTables(const QString &path)
{
    const std::string problem = load_tables_csv_file(path.toStdString(), tables);
    if (!problem.empty()) {
        show_message_box("Tables not loaded: " + problem, "Quillan");
        return false;
    }
    showAllEntries();
    return true;
}

bool SlaveStationForm::saveTables(const QString &path)
{
    const std::string problem = save_tables_csv_file(path.toStdString(), tables);
    if (!problem.empty()) {
        show_message_box("Tables not saved: " + problem, "Quillan");
        return false;
    }
    return true;
}

void SlaveStationForm::LoadTablesClick()
{
    const QString name = g_tableFileAsker ? g_tableFileAsker(this, false) : ask_table_file(this, false);
    if (!name.isEmpty())
        loadTables(name);
}

void SlaveStationForm::SaveTablesClick()
{
    const QString name = g_tableFileAsker ? g_tableFileAsker(this, true) : ask_table_file(this, true);
    if (!name.isEmpty())
        saveTables(name);
}

// ---- setups --------------------------------------------------------------------

void SlaveStationForm::SaveSetupClick()
{
    const QString path = ask_setup_file(this, true);
    if (!path.isEmpty())
        save_setup_file(setup_, path);
}

void SlaveStationForm::OpenSetupClick()
{
    const QString path = ask_setup_file(this, false);
    if (!path.isEmpty())
        openSetup(path);
}

bool SlaveStationForm::openSetup(const QString &path) { return open_setup_file(setup_, path); }

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
    entryWritten(kind, n);
    refreshEntry(kind, n);
}

void SlaveStationForm::editRegister(StringGrid *grid, int kind)
{
    const int col = grid->selectedCol(), row = grid->selectedRow();
    if (row <= 0 || col <= 0 || row > kSlaveEntries || col > 2)
        return;
    const uint16_t n = uint16_t(row - 1);
    if (col == 1 && format_ != ValueFormat::Signed) {
        editFormatted(kind, n);
        return;
    }
    uint16_t value = tables.reg(kind, n);
    const uint16_t mode = col == 1 ? 0 : 1;
    if (set_value_dialog()->EditTableValue(int16_t(kind), n, mode, value) != 0)
        return;
    if (kind == KindHoldingRegister)
        tables.holdingRegisters[n] = value;
    else
        tables.inputRegisters[n] = value;
    entryWritten(kind, n);
    refreshEntry(kind, n);
}

void SlaveStationForm::editFormatted(int kind, uint16_t n)
{
    const int start = value_group_start(format_, n);
    const int width = value_format_width(format_);
    uint16_t *table = kind == KindHoldingRegister ? tables.holdingRegisters : tables.inputRegisters;
    if (start + width > kSlaveEntries)
        return;  // a group cut short by the table's end holds no value
    uint16_t current[4] = {};
    std::copy(table + start, table + start + width, current);
    TSet_FormatValueDlg dialog(this);
    EncodedValue value;
    if (dialog.EditFormattedValue(int16_t(kind), uint16_t(start), format_,
                                  std::span<const uint16_t>(current, size_t(width)), value) != 0)
        return;
    // All registers of the value in one step, between two requests: no
    // request can read half of the new value.
    for (int i = 0; i < value.count && start + i < kSlaveEntries; ++i)
        table[start + i] = value.words[size_t(i)];
    for (int i = 0; i < value.count; ++i)
        entryWritten(kind, uint16_t(start + i));
    for (int i = 0; i < value.count; ++i)
        refreshEntry(kind, uint16_t(start + i));
}

void SlaveStationForm::entryWritten(int kind, uint16_t n) { map_.simulation().written(kind, n); }

// ---- the device map ------------------------------------------------------------

void SlaveStationForm::MoreCodesClick()
{
    bench.serving.codes = OptionStrip->MoreCodes->isChecked() ? SlaveCodes::All : SlaveCodes::Classic;
}

bool SlaveStationForm::loadMap(const QString &path)
{
    SlaveMap taken;
    if (const std::string problem = read_station_map(path, taken); !problem.empty()) {
        show_message_box("Map not loaded: " + problem, "Quillan");
        return false;
    }
    setMap(std::move(taken), path);
    return true;
}

void SlaveStationForm::setMap(SlaveMap map, const QString &path)
{
    map_ = std::move(map);
    if (map_.empty()) {
        // No map: its simulations stop, its page goes, the tables keep
        // the values it gave them.
        SimTimer->stop();
        mapPath_.clear();
        delete TabSheet6;
        TabSheet6 = nullptr;
        ValuesGrid = nullptr;
        MapLabel = nullptr;
        RestartSim = nullptr;
        return;
    }
    mapPath_ = path;
    apply_simulation(tables, map_.initialUpdates());
    // The first tick comes at once: simulated entries show their start
    // values with the initial ones.
    apply_simulation(tables, map_.simulation().tick(sim_time_now()));
    makeValuesPage();
    size_t simulated = 0;
    for (const SlaveMapEntry &e : map_.entries())
        simulated += e.sim >= 0 ? 1 : 0;
    MapLabel->setText(QString("%1: %2 entries, %3 simulated")
                          .arg(QFileInfo(path).fileName())
                          .arg(map_.size())
                          .arg(simulated));
    showAllEntries();
    if (simulated > 0)
        SimTimer->start();
    else
        SimTimer->stop();
}

void SlaveStationForm::makeValuesPage()
{
    if (!TabSheet6) {
        TabSheet6 = new QWidget;
        TabSheet6->setObjectName("TabSheet6");
        // Beside the table pages, before the traffic.
        PageControl1->insertTab(PageControl1->indexOf(TabSheet4) + 1, TabSheet6, "Values");
        auto *lay = new QVBoxLayout(TabSheet6);
        lay->setContentsMargins(0, 2, 0, 0);
        lay->setSpacing(2);
        auto *row = new QHBoxLayout;
        row->setContentsMargins(6, 0, 6, 0);
        MapLabel = new QLabel(TabSheet6);
        MapLabel->setObjectName("MapLabel");
        RestartSim = new QPushButton("Restart", TabSheet6);
        RestartSim->setObjectName("RestartSim");
        RestartSim->setToolTip("Starts every simulation again, those a write stopped too");
        row->addWidget(MapLabel, 1);
        row->addWidget(RestartSim);
        lay->addLayout(row);
        ValuesGrid = new StringGrid(TabSheet6);
        ValuesGrid->setObjectName("ValuesGrid");
        ValuesGrid->setColumnCount(5);
        ValuesGrid->setHintText("Double click to set value");
        ValuesGrid->showHint(true);
        lay->addWidget(ValuesGrid, 1);
        connect(RestartSim, &QPushButton::clicked, this, &SlaveStationForm::RestartSimClick);
        connect(ValuesGrid, &QTableWidget::cellDoubleClicked, this, &SlaveStationForm::ValuesGridDblClick);
    }
    ValuesGrid->setUpdatesEnabled(false);
    ValuesGrid->setRowCount(int(map_.size()) + 1);
    const char *headings[] = {"Name", "Address", "Value", "Unit", "Simulation"};
    for (int c = 0; c < 5; ++c)
        ValuesGrid->setCell(c, 0, headings[c]);
    for (size_t i = 0; i < map_.size(); ++i) {
        const Map_entry &e = map_.entries()[i].entry;
        ValuesGrid->setCell(0, int(i) + 1, e.name);
        ValuesGrid->setCell(1, int(i) + 1, e.address());
        ValuesGrid->setCell(3, int(i) + 1, e.unit);
        showMapRow(i);
    }
    for (int c = 0; c < 5; ++c)
        ValuesGrid->widenColumnToText(c);
    // Simulated values change their length as they run: the column is as
    // wide as the longest float text from the start.
    const int widest = ValuesGrid->fontMetrics().horizontalAdvance(QStringLiteral("-3.4028235e+38"));
    ValuesGrid->setColumnWidth(2, std::max(ValuesGrid->columnWidth(2), widest + 16));
    ValuesGrid->setUpdatesEnabled(true);
}

void SlaveStationForm::showMapRow(size_t i)
{
    const SlaveMapEntry &s = map_.entries()[i];
    uint16_t words[kSimWordsMax] = {};
    const int count = s.entry.count();
    for (int k = 0; k < count; ++k) {
        const uint16_t n = uint16_t(s.entry.index + k);
        words[k] = s.kind == KindCoil         ? ReadCoil(n)
                   : s.kind == KindInputRelay ? ReadInputRelay(n)
                                              : tables.reg(s.kind, n);
    }
    ValuesGrid->setCell(2, int(i) + 1, map_.valueText(i, std::span<const uint16_t>(words, size_t(count))));
    ValuesGrid->setCell(4, int(i) + 1, map_.simulationText(i));
}

bool SlaveStationForm::setMapValue(size_t i, const QString &text)
{
    if (i >= map_.size())
        return false;
    const EncodedValue v = map_.encodeText(i, text.toStdString());
    const SlaveMapEntry &s = map_.entries()[i];
    if (!v.ok()) {
        show_message_box(s.entry.name + " not set: " + v.error, "Quillan");
        return false;
    }
    map_.written(i);
    SimUpdate u{.entry = i, .kind = s.kind, .index = s.entry.index, .count = unsigned(v.count)};
    std::copy_n(v.words.begin(), v.count, u.words.begin());
    // All registers of the value in one step, between two requests.
    apply_simulation(tables, {u});
    for (int k = 0; k < v.count; ++k)
        refreshEntry(s.kind, uint16_t(s.entry.index + k));
    return true;
}

void SlaveStationForm::ValuesGridDblClick()
{
    const int row = ValuesGrid->selectedRow();
    if (row <= 0 || row > int(map_.size()))
        return;
    const size_t i = size_t(row - 1);
    const SlaveMapEntry &s = map_.entries()[i];
    const QString unit = s.entry.unit.empty() ? QString() : " (" + QString::fromStdString(s.entry.unit) + ")";
    bool ok = false;
    const QString text = QInputDialog::getText(this, QString::fromStdString(s.entry.name),
                                               QString::fromStdString(s.entry.address()) + unit, QLineEdit::Normal,
                                               ValuesGrid->cellText(2, row), &ok);
    if (ok)
        setMapValue(i, text);
}

void SlaveStationForm::RestartSimClick()
{
    map_.simulation().restart();
    SimTimerTimer();
    for (size_t i = 0; i < map_.size(); ++i)
        showMapRow(i);
}

void SlaveStationForm::SimTimerTimer()
{
    const std::vector<SimUpdate> updates = map_.simulation().tick(sim_time_now());
    apply_simulation(tables, updates);
    for (const SimUpdate &u : updates)
        for (unsigned k = 0; k < u.count; ++k)
            entryChanged(u.kind, uint16_t(u.index + k));
}

void SlaveStationForm::LoadMapClick()
{
    const QString name = QFileDialog::getOpenFileName(this, QStringLiteral("Load map"), QString(),
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!name.isEmpty())
        loadMap(name);
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
    panel1Layout()->addSpacing(16);
    ListenOnly = new QCheckBox("Listen only (never answer)", Panel1);
    ListenOnly->setObjectName("ListenOnly");
    ListenOnly->setToolTip("The port opened so is never written to: the station shows the requests and answers "
                           "it hears and keeps the values they carry in its tables");
    panel1Layout()->addWidget(ListenOnly);
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
    add_port_setup(setupFields(), ports, [this] { return serverOpen(); }, [this] { UpdatePortLabel(); });
}

SerialSlaveForm::~SerialSlaveForm()
{
    // A window destroyed without being closed still gives its port back.
    if (!closed_ && serverOpen())
        link_->close(ports.usedPort);
}

bool SerialSlaveForm::serverOpen() const { return BitBtn2->isEnabled(); }

bool SerialSlaveForm::listening() const { return listener_ && serverOpen(); }

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
        startListening();
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
        stopListening();
        BitBtn1->setEnabled(true);
        BitBtn2->setEnabled(false);
        Timer1->stop();
        later_.clear();  // answers to a line that is closed
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
        stopListening();
        Timer1->stop();
        later_.clear();
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
    serve(
        request, size_t(length < 0 ? 0 : length),
        [this](const std::vector<uint8_t> &response) {
            link_->write(ports.usedPort, response.data(), int32_t(response.size()));
            traffic.tx(response.data(), response.size());
        },
        &later_);
}

void SerialSlaveForm::receiverLine(const std::string &text)
{
    memoAdd(Memo1, text);
    traffic.event(text);
}

void SerialSlaveForm::requestDropped(const uint8_t *data, int32_t n)
{
    traffic.dropped(data, n > 0 ? size_t(n) : 0, Traffic_drop::Cut_short);
    ++bench.stats.err;
    statsChanged();
}

void SerialSlaveForm::sendDueAnswers()
{
    for (const std::vector<uint8_t> &answer : later_.takeDue(nowMs()))
        if (serverOpen()) {
            link_->write(ports.usedPort, answer.data(), int32_t(answer.size()));
            traffic.tx(answer.data(), answer.size());
        }
    if (!later_.empty())
        armAnswerTimer(later_.nextDue());
}

// ---- listening only ------------------------------------------------------------

namespace {

// Reads per look: a line that never stops still leaves the GUI its turn.
constexpr int kListenReads = 16;
constexpr int32_t kListenChunk = 4096;

// The faults shape answers, and while listening none goes.
void enable_faults(BenchStrip *o, bool on)
{
    for (QWidget *w : std::initializer_list<QWidget *>{o->DelayMs, o->DropEvery, o->ForceException, o->CorruptBox})
        if (w)
            w->setEnabled(on);
}

}  // namespace

void SerialSlaveForm::startListening()
{
    listener_.reset();
    ListenOnly->setEnabled(false);  // it holds for the whole opening, as the port's settings do
    if (!ListenOnly->isChecked())
        return;
    const PortSetting &c = ports.current;
    const Line_settings settings{
        .framing = profile.framing == SlaveFraming::Ascii ? Line_framing::Ascii : Line_framing::Rtu,
        .baud = c.Baud,
        .bits_per_char = serial_bits_per_char(c.DataBitCount, c.ParityLetter, c.StopBitCount)};
    listener_ = std::make_unique<SlaveListener>(settings, traffic, tables, bench.units,
                                                [this](int kind, uint16_t n) { entryChanged(kind, n); });
    const std::string note = "Listening only: nothing is written to the port";
    memoAdd(Memo1, note);
    traffic.event(note);
    // Bytes are taken as they arrive, so that their times are the line's;
    // without a descriptor the 5 ms tick takes them.
    if (const int fd = link_->descriptor(ports.usedPort); fd >= 0) {
        portWatch_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(portWatch_, &QSocketNotifier::activated, this, &SerialSlaveForm::portReadable);
    }
    enable_faults(OptionStrip, false);
    refreshStats();
}

void SerialSlaveForm::stopListening()
{
    ListenOnly->setEnabled(true);
    delete portWatch_;
    portWatch_ = nullptr;
    if (!listener_)
        return;
    listener_->flush();
    enable_faults(OptionStrip, true);
    refreshStats();
}

int32_t SerialSlaveForm::takeHeardBytes()
{
    uint8_t buf[kListenChunk];
    int32_t taken = 0;
    for (int i = 0; i < kListenReads; ++i) {
        const int32_t n = link_->read(ports.usedPort, buf, kListenChunk);
        if (n <= 0)
            break;
        taken += n;
        listener_->feed(buf, size_t(n), link_->monotonicMs() * 1000);
        if (n < kListenChunk)
            break;
    }
    listener_->idle(link_->monotonicMs() * 1000);
    statsChanged();
    return taken;
}

bool SerialSlaveForm::listenTick()
{
    if (!listening())
        return false;
    // A line that hung up stays readable with nothing to read, and is
    // looked at on the tick instead, until bytes come again.
    if (takeHeardBytes() > 0 && portWatch_)
        portWatch_->setEnabled(true);
    return true;
}

void SerialSlaveForm::portReadable()
{
    if ((!listening() || takeHeardBytes() == 0) && portWatch_)
        portWatch_->setEnabled(false);
}

std::string SerialSlaveForm::statsText() const
{
    return listener_ ? listener_->counters().label() : SlaveStationForm::statsText();
}

void SerialSlaveForm::resetStats()
{
    if (listener_)
        listener_->resetCounters();
    else
        SlaveStationForm::resetStats();
}
