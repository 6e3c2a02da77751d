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
#include <algorithm>
#include <chrono>
#include <climits>

#include "Answer_code.h"
#include "Master_format.h"
#include "Master_grid.h"
#include "Notices.h"
#include "Set_Data.h"
#include "Strformat.h"
#include "Trend_chart.h"
#include "Wall_time.h"
#include "Watch_chart.h"
#include "Write_Block.h"

namespace {

// The grid, the traffic history, the Watch page and the trend chart share
// the window's lower part as pages, the grid's first and shown: the request
// fields and buttons above keep their places.
QTabWidget *data_and_traffic(QWidget *window, StringGrid *grid, std::unique_ptr<TrafficPanel> &panel,
                             Station_traffic &traffic, WatchPage *watch, TrendChart *chart)
{
    auto *pages = new QTabWidget(window);
    pages->setObjectName("MasterPages");
    pages->addTab(grid, "Data");
    panel = std::make_unique<TrafficPanel>(&traffic.history());
    pages->addTab(panel.get(), "Traffic");
    pages->addTab(watch, "Watch");
    pages->addTab(chart, "Chart");
    pages->setCurrentIndex(0);
    // The tab bar takes a row from the grid; at the window's starting size
    // the memos above give it back, and the grid still shows its first rows
    // whole (and the traffic view as many lines).
    constexpr int kRowsShown = 5;  // the header row and four values
    const int frames = 2 * pages->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2 * grid->frameWidth();
    pages->setMinimumHeight(pages->tabBar()->sizeHint().height() + frames +
                            kRowsShown * grid->verticalHeader()->defaultSectionSize());
    // The traffic, watch and chart buttons sit beside the tabs, each row
    // shown with its page only: the window is short of height, and the views get their
    // row. The tab widget lays out one corner widget, so the page shown sets
    // its own.
    const std::vector<std::pair<QWidget *, QWidget *>> corners{{panel.get(), panel->buttonRow()},
                                                               {watch, watch->buttonRow()},
                                                               {chart, chart->buttonRow()}};
    pages->setCornerWidget(panel->buttonRow(), Qt::TopRightCorner);
    for (const auto &[page, row] : corners)
        row->hide();
    QObject::connect(pages, &QTabWidget::currentChanged, pages, [pages, corners](int index) {
        QWidget *shown = nullptr;
        for (const auto &[page, row] : corners) {
            row->hide();
            if (pages->widget(index) == page)
                shown = row;
        }
        if (shown) {
            pages->setCornerWidget(shown, Qt::TopRightCorner);
            shown->show();
        }
    });
    return pages;
}

const char *station_name(Traffic_framing framing)
{
    switch (framing) {
    case Traffic_framing::Rtu: return setup_station_name(MasterRtu);
    case Traffic_framing::Ascii: return setup_station_name(MasterAscii);
    default: return setup_station_name(MasterTcp);
    }
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
    : QWidget(parent), traffic_(framing, Traffic_side::Master), limits_(limits), setup_(station_name(framing))
{
    // The map's reads are as large as the station's own requests may be.
    watchPage_ = new WatchPage(Plan_limits{.max_registers = limits.words, .max_bits = limits.bits}, this);

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

    // The station's port controls on the left, the setup's buttons (made
    // last, below) at the right end of their row.
    portRow_ = new QHBoxLayout;
    auto *portAndSetup = new QHBoxLayout;
    portAndSetup->addLayout(portRow_, 1);

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

    ScanUnits = new QPushButton("Scan…", this);
    ScanUnits->setObjectName("ScanUnits");
    ScanUnits->setToolTip("Find the device addresses that answer on this link");

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
    // "Scan…" finds the device addresses that answer: beside that field.
    fields->addWidget(ScanUnits, 0, 4, Qt::AlignLeft);
    field(1, 0, "Register/Relay Address", MaskEdit2);
    field(1, 1, "Communication Words/Bits", MaskEdit3);
    fields->setColumnStretch(4, 1);
    WriteBlock = new QPushButton("Write block…", this);
    WriteBlock->setObjectName("WriteBlock");
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    buttons->addWidget(WriteBlock);

    // Polling sits with the buttons that send; a station adds its own
    // exchange options behind it (pollRow()).
    PollBox = new QCheckBox("Poll", this);
    PollBox->setObjectName("PollBox");
    PollInterval = new QSpinBox(this);
    PollInterval->setObjectName("PollInterval");
    PollInterval->setRange(0, int(PollScheduler::kMaxIntervalMs));
    PollInterval->setValue(int(PollScheduler::kDefaultIntervalMs));
    PollInterval->setSuffix(" ms");
    PollInterval->setToolTip("Time from the start of one poll to the next; 0: as soon as the answer is in");
    // Typing 5000 must not poll at 5, 50 and 500 ms on the way.
    PollInterval->setKeyboardTracking(false);
    pollRow_ = new QHBoxLayout;
    pollRow_->setContentsMargins(8, 0, 0, 0);
    pollRow_->addWidget(PollBox);
    pollRow_->addWidget(PollInterval);
    buttons->addLayout(pollRow_);
    buttons->addStretch();

    // The counters, the value format and Reset share a row; the format box
    // shows its longest item whole.
    FormatBox = new QComboBox(this);
    FormatBox->setObjectName("FormatBox");
    for (const std::string &text : value_format_texts())
        FormatBox->addItem(QString::fromStdString(text));
    FormatBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    StatsLabel = new QLabel(this);
    StatsLabel->setObjectName("StatsLabel");
    StatsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    ResetStats = new QPushButton("Reset", this);
    ResetStats->setObjectName("ResetStats");
    // The counters may grow past the row at the window's starting size; they
    // take a second line then rather than widen the window.
    StatsLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatsLabel->setWordWrap(true);
    StatsLabel->setMinimumWidth(40);
    FormatBox->setToolTip("How register values are shown");
    auto *statsRow = new QHBoxLayout;
    statsRow->addWidget(StatsLabel, 1);
    statsRow->addWidget(FormatBox);
    statsRow->addWidget(ResetStats);

    StatsTimer = new QTimer(this);
    StatsTimer->setSingleShot(true);
    connect(StatsTimer, &QTimer::timeout, this,
            [this] { StatsLabel->setText(QString::fromStdString(session_.stats().label())); });

    PollTimer = new QTimer(this);
    PollTimer->setObjectName("PollTimer");
    PollTimer->setSingleShot(true);
    PollTimer->setTimerType(Qt::PreciseTimer);

    Memo1 = new Memo(this);
    Memo1->setObjectName("Memo1");
    Memo2 = new Memo(this);
    Memo2->setObjectName("Memo2");
    // Room for the grid at the starting size: the request takes one line, an
    // answer a few.
    Memo1->setMaximumHeight(50);
    Memo2->setMaximumHeight(80);

    StringGrid1 = new StringGrid(this);
    StringGrid1->setObjectName("StringGrid1");
    StringGrid1->setHintText("Double click to set data value");

    auto *all = new QVBoxLayout(this);
    all->addWidget(Panel1);
    all->addLayout(portAndSetup);
    all->addLayout(fields);
    all->addLayout(buttons);
    all->addLayout(statsRow);
    all->addWidget(Memo1);
    all->addWidget(Memo2);
    trendChart_ = new TrendChart(this);
    new WatchChart(watchPage_, trendChart_, this);
    pages_ = data_and_traffic(this, StringGrid1, trafficPanel_, traffic_, watchPage_, trendChart_);
    all->addWidget(pages_, 1);

    connect(BitBtn1, &QPushButton::clicked, this, &MasterWindow::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &MasterWindow::BitBtn2Click);
    connect(StringGrid1, &QTableWidget::cellDoubleClicked, this, [this] { StringGrid1DblClick(); });
    connect(PollBox, &QCheckBox::toggled, this, &MasterWindow::PollBoxToggled);
    connect(PollInterval, &QSpinBox::valueChanged, this, &MasterWindow::PollIntervalChanged);
    connect(PollTimer, &QTimer::timeout, this, &MasterWindow::PollTimerTimer);
    connect(FormatBox, &QComboBox::currentIndexChanged, this, &MasterWindow::FormatBoxChanged);
    connect(ResetStats, &QPushButton::clicked, this, &MasterWindow::ResetStatsClick);
    connect(WriteBlock, &QPushButton::clicked, this, &MasterWindow::WriteBlockClick);
    connect(ScanUnits, &QPushButton::clicked, this, &MasterWindow::ScanUnitsClick);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this] {
        fieldsEdited_ = true;
        updateWriteBlock();
    });
    for (QLineEdit *field : {MaskEdit1, MaskEdit2, MaskEdit3})
        connect(field, &QLineEdit::textChanged, this, [this] { fieldsEdited_ = true; });
    connect(watchPage_, &WatchPage::watchChanged, this, &MasterWindow::watchChanged);
    connect(watchPage_, &WatchPage::mapLoaded, this, [this] {
        pages_->setTabToolTip(pages_->indexOf(watchPage_), watchPage_->mapSummary());
        show_status_message("Map " + watchPage_->mapSummary().toStdString());
        // The answer to a block of the old map fits no block of the new one.
        sentBlock_ = -1;
        if (watchingMap())
            session_.scheduler().setWatch(int(watchPage_->watch().blocks().size()));
    });
    watchPage_->setWriter([this](const Map_entry &entry, const EncodedValue &value) { watchWrite(entry, value); });
    updateWriteBlock();
    showStats();

    // Made last, so that they come last in the focus chain: a new window
    // takes the focus where it did without them.
    SaveSetup = new QPushButton("Save setup…", this);
    SaveSetup->setObjectName("SaveSetup");
    SaveSetup->setToolTip("Writes the settings of this window to a setup file");
    OpenSetup = new QPushButton("Open setup…", this);
    OpenSetup->setObjectName("OpenSetup");
    OpenSetup->setToolTip("Takes the settings of a setup file; the port stays as it is");
    portAndSetup->addWidget(SaveSetup);
    portAndSetup->addWidget(OpenSetup);
    connect(SaveSetup, &QPushButton::clicked, this, &MasterWindow::SaveSetupClick);
    connect(OpenSetup, &QPushButton::clicked, this, &MasterWindow::OpenSetupClick);

    // Ticking "Poll" starts traffic, which a setup never does by itself:
    // the interval is kept, the tick is not.
    setup_.add_choice("function", ComboBox1);
    setup_.add_digits("device", MaskEdit1, [this] { return readRequestField(MaskEdit1); });
    setup_.add_digits("address", MaskEdit2, [this] { return readRequestField(MaskEdit2); });
    setup_.add_digits("count", MaskEdit3, [this] { return readRequestField(MaskEdit3); });
    setup_.add_spin("interval_ms", PollInterval);
    setup_.add_choice("value_format", FormatBox);
    addWatchSetup();
}

void MasterWindow::setClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

int64_t MasterWindow::now() const
{
    if (clock_)
        return clock_();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ValueFormat MasterWindow::valueFormat() const
{
    ValueFormat f = ValueFormat::Signed;
    value_format_from_index(FormatBox->currentIndex(), f);
    return f;
}

int MasterWindow::CheckRequestFields()
{
    const int rc = check_master_request(readRequestField(MaskEdit1), readRequestField(MaskEdit2),
                                        readRequestField(MaskEdit3), ComboBox1->currentIndex(), limits_,
                                        request_, *StringGrid1);
    if (rc == 0) {
        fieldsEdited_ = false;
        StringGrid1->widenColumnToText(0);  // the address labels, whole in any font
        if (valueFormat() != ValueFormat::Signed)
            showFormat();  // the header names the format before any answer
    }
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
    if (session_.quiet()) {
        // The hint and the button go together; polled, they change only
        // when the kind read does.
        if (BitBtn2->isEnabled() != writable) {
            StringGrid1->showHint(writable);
            BitBtn2->setEnabled(writable);
        }
        // A polled answer leaves the operator's cell and focus alone: a
        // selection reset every cycle would make writing from the grid
        // impossible while polling.
        if (StringGrid1->selectedRow() < 1 || StringGrid1->selectedCol() < 1)
            StringGrid1->selectCell(request_.kind < 2 ? 8 : 1, 1);
        return;
    }
    StringGrid1->showHint(writable);
    BitBtn2->setEnabled(writable);
    StringGrid1->selectCell(request_.kind < 2 ? 8 : 1, 1);
    if (focusGrid)
        StringGrid1->setFocus();
}

void MasterWindow::BitBtn2Click()
{
    const int row = StringGrid1->selectedRow(), col = StringGrid1->selectedCol();
    FormattedTarget target;
    if (pick_formatted_write(*StringGrid1, row, col, request_, valueFormat(), target)) {
        // A 32/64-bit value is typed in its format and written whole.
        EncodedValue value;
        if (set_data_dialog()->AskFormattedValue(target.address, valueFormat(), target.current, value) != 0)
            return;
        submitWrite(WriteJob{.function = 16,
                             .device = request_.device,
                             .address = target.address,
                             .words = std::vector<uint16_t>(value.words.begin(), value.words.begin() + value.count)});
        return;
    }
    MasterWrite write;
    uint16_t mode = 0;
    if (!pick_master_write(*StringGrid1, row, col, request_, write, mode))
        return;
    // The dialog runs the event loop: queued writes may go out meanwhile
    // and set write_, so the cell picked stays here until OK.
    if (set_data_dialog()->AskDataValue(write.function, write.address, mode, write.value) != 0)
        return;
    submitWrite(WriteJob{.function = write.function,
                         .device = request_.device,
                         .address = write.address,
                         .value = write.value,
                         .row = write.row,
                         .col = write.col});
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
        if (scanning_ && scanLost_) {
            const auto lost = scanLost_;
            lost();
        }
        FormClose();
    }
    QWidget::closeEvent(event);
}

void MasterWindow::BitBtn1Click()
{
    if (pollOn()) {
        // While polling, the read goes out as soon as the exchange in
        // flight ends, with the fields checked as every cycle checks them.
        session_.scheduler().requestRead();
        kick();
        return;
    }
    if (!linkOpen()) {
        show_message_box(notOpenText());
        return;
    }
    if (CheckRequestFields() != 0)
        return;
    beginRequest();
    if (prepareQuery(request_.kind + 1u, request_.device, request_.start, request_.count, 0) != 0) {
        show_message_box(prepareErrorText());
        return;
    }
    SendQuery();
    noteSent(nullptr, false);
}

void MasterWindow::submitWrite(WriteJob job)
{
    if (!pollOn()) {
        sendJob(job, false);  // at once, as a single write always went
        return;
    }
    if (!session_.queueWrite(std::move(job))) {
        show_message_box(strformat("Write not sent: %d writes are waiting already", PollScheduler::kMaxPendingWrites));
        return;
    }
    kick();
}

void MasterWindow::sendJob(const WriteJob &job, bool queued)
{
    int32_t rc;
    if (job.function == 5 || job.function == 6) {
        // The grid shows the echo of its own writes only.
        if (job.watchEntry.empty())
            write_ = MasterWrite{job.function, job.address, job.value, job.row, job.col};
        rc = prepareQuery(job.function, job.device, job.address, 1, job.value);
    } else {
        rc = prepareBlock(job);
    }
    if (rc != 0) {
        if (queued)
            session_.scheduler().writeDropped();
        show_message_box(prepareErrorText());
        return;
    }
    SendQuery();
    noteSent(&job, queued);
}

void MasterWindow::noteSent(const WriteJob *job, bool queued)
{
    session_.sent(now(), job, queued);
    sent_ = !job ? Sent::Fields : job->watchEntry.empty() ? Sent::GridWrite : Sent::WatchWrite;
    showStats();
}

void MasterWindow::watchStep(int block)
{
    if (!linkOpen()) {
        stopPolling(true);
        show_message_box(notOpenText());
        return;
    }
    Map_watch &watch = watchPage_->watch();
    if (block < 0 || size_t(block) >= watch.blocks().size()) {
        // Not the map's count of blocks (cannot happen while the two are
        // kept alike): the scheduler learns the right one.
        session_.scheduler().setWatch(int(watch.blocks().size()));
        return;
    }
    const Read_block &b = watch.blocks()[size_t(block)];
    if (prepareQuery(uint32_t(read_function(b.table)), b.device, uint16_t(b.start + 1u), b.count, 0) != 0) {
        watchPage_->stopWatching();
        show_message_box(prepareErrorText());
        return;
    }
    if (block == 0)
        watch.begin_cycle();
    SendQuery();
    session_.sentBlock(now());
    sent_ = Sent::Block;
    sentBlock_ = block;
    showStats();
}

void MasterWindow::watchAnswered(std::span<const uint8_t> answer, int64_t responseMs)
{
    const int code = answer.size() >= 2 ? answer[1] : -1;
    bool fits = true;
    if (sent_ == Sent::Block && sentBlock_ >= 0) {
        fits = watchPage_->watch().take_answer(sentBlock_, answer, wall_clock_ms()) != Map_watch::Outcome::Misfit;
        watchPage_->valuesChanged();
    }
    if (!fits) {
        // It passed its checksum but does not answer this read (another
        // device, code or length): counted and shown as an error.
        Memo2->add(std::string("Answer does not fit the map's request"));
        session_.badAnswer();
    } else if (responseMs >= 0) {
        session_.answeredIn(responseMs, code);
    } else {
        session_.answered(now(), code);
    }
    if (sent_ == Sent::WatchWrite && is_exception_code(code) && session_.lastWrite() && answer.size() >= 3)
        Memo2->add(strformat("%s not written: exception %02X", session_.lastWrite()->watchEntry.c_str(),
                             unsigned(answer[2])));
    showStats();
}

void MasterWindow::blockFailed(Read_status status)
{
    if (sent_ != Sent::Block || sentBlock_ < 0)
        return;
    watchPage_->watch().take_failure(sentBlock_, status);
    watchPage_->valuesChanged();
}

void MasterWindow::watchChanged(bool on)
{
    if (watchWaiting_) {
        // The operator unticked what a setup ticked: nothing was polled.
        watchWaiting_ = false;
        if (!on)
            return;
    }
    const int blocks = on ? int(watchPage_->watch().blocks().size()) : 0;
    session_.scheduler().setWatch(blocks);
    traffic_.event(on ? strformat("watching %d entries in %d requests, interval %d ms",
                                  int(watchPage_->watch().entries().size()), blocks, PollInterval->value())
                      : std::string("watching stopped"));
    showStats();
    kick();
}

void MasterWindow::watchWrite(const Map_entry &entry, const EncodedValue &value)
{
    if (!linkOpen()) {
        show_message_box(notOpenText());
        return;
    }
    submitWrite(watch_write_job(entry, value));
}

void MasterWindow::pollCycle()
{
    if (!linkOpen()) {
        stopPolling(true);
        show_message_box(notOpenText());
        return;
    }
    // Fields nobody touched since they last passed are not read again.
    MasterRequest fields = request_;
    // Polling stops before the field boxes show: a timer firing under them
    // would check the fields again and show them twice.
    if (fieldsEdited_ && validate_master_request(readRequestField(MaskEdit1), readRequestField(MaskEdit2),
                                                 readRequestField(MaskEdit3), ComboBox1->currentIndex(), limits_,
                                                 fields, [this] { stopPolling(); }) != 0)
        return;
    fieldsEdited_ = false;
    // The grid is laid out again only when the fields ask for another one,
    // so the values stay on show from one cycle to the next.
    const bool relayout = !fields.sameLayout(request_);
    request_ = fields;
    if (relayout) {
        layout_master_grid(*StringGrid1, request_.kind, request_.start, request_.count);
        StringGrid1->widenColumnToText(0);
        if (valueFormat() != ValueFormat::Signed)
            showFormat();
        beginRequest();
    }
    if (prepareQuery(request_.kind + 1u, request_.device, request_.start, request_.count, 0) != 0) {
        stopPolling();
        show_message_box(prepareErrorText());
        return;
    }
    SendQuery();
    noteSent(nullptr, false);
}

void MasterWindow::kick() { PollTimer->start(0); }

void MasterWindow::PollTimerTimer()
{
    if (scanning_)
        return;  // polling waits for the scan; scanEnd() asks again
    // A send is followed at once by the wait for its answer (no extra turn
    // of the event loop per cycle); bounded, whatever the scheduler says.
    for (int steps = 0; steps < 4; ++steps) {
        const int64_t t = now();
        const PollScheduler::Step step = session_.scheduler().next(t);
        switch (step.kind) {
        case PollScheduler::Step::Idle:
            PollTimer->stop();
            return;
        case PollScheduler::Step::WaitUntil: {
            const int wait = int(std::clamp<int64_t>(step.at - t, 0, INT_MAX));
            // A timer due no later asks again then: polling fast, the answer
            // time-out is not set anew every cycle.
            if (!PollTimer->isActive() || PollTimer->remainingTime() > wait)
                PollTimer->start(wait);
            return;
        }
        case PollScheduler::Step::SendRead:
            pollCycle();
            break;
        case PollScheduler::Step::SendBlock:
            watchStep(step.block);
            break;
        case PollScheduler::Step::SendWrite:
            sendJob(session_.takeWrite(), true);
            break;
        case PollScheduler::Step::TimedOut:
            // Only a station with an answer time-out of its own (TCP) gets here.
            if (!answerTimedOut() && session_.quiet()) {
                session_.timedOut();
                Memo2->add(std::string("Time out error"));
            }
            blockFailed(Read_status::Timeout);
            exchangeOver();
            return;
        }
    }
    kick();
}

void MasterWindow::answerShown(int code, int64_t responseMs)
{
    if (responseMs >= 0)
        session_.answeredIn(responseMs, code);
    else
        session_.answered(now(), code);
    const WriteJob *job = session_.lastWrite();
    if (job && code == job->function && (code == 15 || code == 16))
        show_block_write(*StringGrid1, request_, *job);
    if (request_.kind >= 2 && valueFormat() != ValueFormat::Signed)
        showFormat();
    showStats();
}

void MasterWindow::answerFailed()
{
    session_.badAnswer();
    blockFailed(Read_status::CrcError);
    showStats();
}

bool MasterWindow::timedOutQuietly()
{
    const bool quiet = session_.quiet();
    session_.timedOut();
    blockFailed(Read_status::Timeout);
    showStats();
    return quiet;
}

void MasterWindow::exchangeOver()
{
    const bool cycleDone = session_.ended(now());
    sent_ = Sent::None;
    if (cycleDone)
        watchPage_->cycleDone(wall_clock_ms());
    showStats();
    // The next request goes out from here, not a turn of the event loop
    // later: at interval 0 that turn would cost about as much as the
    // exchange on a local network.
    PollTimerTimer();
}

void MasterWindow::stopPolling(bool linkGone)
{
    PollBox->setChecked(false);
    if (linkGone)
        watchPage_->stopWatching();
    // A read asked for while polling goes with it. Writes the operator
    // queued still go out, unless the link they need is gone: then Memo2
    // says they were not sent.
    const int waiting = session_.pendingWrites();
    session_.scheduler().clear();
    if (linkGone) {
        while (session_.pendingWrites() > 0)
            session_.takeWrite();
        if (waiting > 0) {
            Memo2->add(strformat("%d queued write%s not sent", waiting, waiting == 1 ? "" : "s"));
            traffic_.event(strformat("%d queued write%s not sent", waiting, waiting == 1 ? "" : "s"));
        }
    } else {
        for (int i = 0; i < waiting; ++i)
            session_.scheduler().requestWrite();
    }
}

void MasterWindow::linkLost(bool showBox)
{
    // A scan going on ends first, and gives the link back.
    if (scanning_ && scanLost_) {
        const auto lost = scanLost_;  // the call ends the scan, which lets go of it
        lost();
    }
    // Polling stops first, so that the end of the exchange in flight sends
    // nothing more. Writes still queued after polling stopped need the link too.
    const bool polling = pollOn();
    if (polling || session_.pendingWrites() > 0)
        stopPolling(true);
    if (session_.scheduler().busy())
        exchangeOver();
    if (polling && showBox)
        show_message_box(notOpenText());
}

void MasterWindow::PollBoxToggled(bool on)
{
    session_.scheduler().setPoll(on);
    // Each cycle's request and answer are in the history already; when
    // polling began and ended frames them.
    traffic_.event(on ? strformat("polling started, interval %d ms", PollInterval->value()) : std::string("polling stopped"));
    showStats();
    kick();
}

void MasterWindow::PollIntervalChanged(int ms)
{
    session_.scheduler().setInterval(ms);
    kick();
}

void MasterWindow::FormatBoxChanged(int)
{
    // The last answer is shown again in the new format; nothing is sent.
    if (request_.kind >= 2)
        showFormat();
}

void MasterWindow::showFormat()
{
    show_value_column(*StringGrid1, valueFormat());
    StringGrid1->widenColumnToText(1);
}

void MasterWindow::ResetStatsClick()
{
    session_.resetStats();
    showStats();
}

void MasterWindow::showStats()
{
    // Polling faster than the eye reads, the counters are shown at most every
    // kStatsRefreshMs: a new label text lays the window out again, which
    // would cost more than the exchange itself.
    if (pollOn() && PollInterval->value() < kStatsRefreshMs) {
        if (!StatsTimer->isActive())
            StatsTimer->start(kStatsRefreshMs);
        return;
    }
    StatsTimer->stop();
    StatsLabel->setText(QString::fromStdString(session_.stats().label()));
}

void MasterWindow::updateWriteBlock()
{
    const int kind = ComboBox1->currentIndex();
    WriteBlock->setEnabled(kind == 0 || kind == 2);
}

void MasterWindow::SaveSetupClick()
{
    const QString path = ask_setup_file(this, true);
    if (!path.isEmpty())
        save_setup_file(setup_, path);
}

void MasterWindow::OpenSetupClick()
{
    const QString path = ask_setup_file(this, false);
    if (!path.isEmpty())
        openSetup(path);
}

bool MasterWindow::openSetup(const QString &path)
{
    if (!open_setup_file(setup_, path))
        return false;
    // With nothing under way the grid is laid out for the setup's request
    // at once, as a new window's is for its own. Fields that do not pass
    // are left for "Send command" to name.
    if (!linkOpen() && !session_.scheduler().busy() &&
        master_request_ok(readRequestField(MaskEdit1), readRequestField(MaskEdit2), readRequestField(MaskEdit3),
                          ComboBox1->currentIndex(), limits_)) {
        CheckRequestFields();
        beginRequest();
    }
    return true;
}

void MasterWindow::WriteBlockClick()
{
    const int kind = ComboBox1->currentIndex();
    if (kind != 0 && kind != 2)
        return;
    if (!linkOpen()) {
        show_message_box(notOpenText());
        return;
    }
    const long device = readRequestField(MaskEdit1);
    if (check_device_address(uint16_t(device)) != 0)
        return;
    const bool coils = kind == 0;
    uint16_t start = request_.kind == kind ? request_.start : 1;
    BlockValues values;
    if (write_block_dialog()->AskBlock(coils, valueFormat(), start, values) != 0)
        return;
    submitWrite(WriteJob{.function = uint16_t(coils ? 15 : 16),
                         .device = uint16_t(device),
                         .address = start,
                         .bits = std::move(values.bits),
                         .words = std::move(values.words)});
}
