#include "Bench_strip.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "Fault_injection.h"
#include "Slave_stats.h"
#include "Unit_filter.h"
#include "Value_format.h"

namespace {

QLabel *caption(const char *text, QWidget *buddy, QWidget *parent)
{
    auto *l = new QLabel(text, parent);
    l->setBuddy(buddy);
    return l;
}

}  // namespace

BenchStrip::BenchStrip(bool withChecksum, QWidget *parent) : QFrame(parent)
{
    setObjectName("OptionStrip");
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Raised);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    UnitIds = new QLineEdit(this);
    UnitIds->setObjectName("UnitIds");
    UnitIds->setMaxLength(int(UnitFilter::kMaxText));
    UnitIds->setPlaceholderText("all");
    UnitIds->setToolTip("Unit addresses answered, such as 1, 5, 10-20; empty: all");
    UnitIds->setMinimumWidth(70);

    DelayMs = new QSpinBox(this);
    DelayMs->setObjectName("DelayMs");
    DelayMs->setRange(0, kFaultDelayMaxMs);
    DelayMs->setSingleStep(50);
    DelayMs->setSuffix(" ms");
    DelayMs->setToolTip("Every answer goes out this much later");

    DropEvery = new QSpinBox(this);
    DropEvery->setObjectName("DropEvery");
    DropEvery->setRange(0, int(kFaultDropEveryMax));
    DropEvery->setToolTip("0: never; N: the N-th, 2N-th ... request gets no answer");

    ForceException = new QComboBox(this);
    ForceException->setObjectName("ForceException");
    for (const ForcedExceptionItem &item : kForcedExceptionItems)
        ForceException->addItem(QString::fromLatin1(item.text), int(item.code));
    ForceException->setToolTip("Every request is answered with this exception");

    CorruptBox = nullptr;
    if (withChecksum) {
        CorruptBox = new QCheckBox("Corrupt checksum", this);
        CorruptBox->setObjectName("CorruptBox");
        CorruptBox->setToolTip("Every answer goes out with its checksum inverted");
    }

    FormatBox = new QComboBox(this);
    FormatBox->setObjectName("FormatBox");
    for (const std::string &text : value_format_texts())
        FormatBox->addItem(QString::fromStdString(text));
    FormatBox->setToolTip("How the register pages show their values");

    StatsLabel = new QLabel(QString::fromStdString(SlaveStats{}.label()), this);
    StatsLabel->setObjectName("StatsLabel");
    StatsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    ResetStats = new QPushButton("Reset", this);
    ResetStats->setObjectName("ResetStats");
    ResetStats->setToolTip("Zeroes the counters");
    LoadTables = new QPushButton("Load\u2026", this);
    LoadTables->setObjectName("LoadTables");
    LoadTables->setToolTip("Replaces the four tables with a CSV file's");
    SaveTables = new QPushButton("Save\u2026", this);
    SaveTables->setObjectName("SaveTables");
    SaveTables->setToolTip("Writes the four tables' non-zero entries to a CSV file");

    MoreCodes = new QCheckBox("More function codes", this);
    MoreCodes->setObjectName("MoreCodes");
    MoreCodes->setToolTip("Also answers codes 7, 8, 11, 17, 22, 23 and 43/14; off: exception 01");
    LoadMap = new QPushButton("Load map\u2026", this);
    LoadMap->setObjectName("LoadMap");
    LoadMap->setToolTip("Writes a device map's initial values into the tables and starts its simulations");

    // Push buttons as wide as their texts: the strip has four of them in a
    // row beside the counters.
    for (QPushButton *b : {ResetStats, LoadTables, SaveTables, LoadMap})
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 24);
    for (QPushButton *b : {ResetStats, LoadTables, SaveTables, LoadMap})
        b->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);

    // Three rows: what decides whether and when an answer goes, what it
    // carries and how registers are shown, and what happened.
    auto *rows = new QVBoxLayout(this);
    rows->setContentsMargins(6, 2, 6, 2);
    rows->setSpacing(2);
    auto *timing = new QHBoxLayout;
    timing->addWidget(caption("Units", UnitIds, this));
    timing->addWidget(UnitIds, 1);
    timing->addSpacing(8);
    timing->addWidget(caption("Delay", DelayMs, this));
    timing->addWidget(DelayMs);
    timing->addSpacing(8);
    timing->addWidget(caption("Drop every", DropEvery, this));
    timing->addWidget(DropEvery);
    if (CorruptBox) {
        timing->addSpacing(8);
        timing->addWidget(CorruptBox);
    }
    rows->addLayout(timing);

    auto *content = new QHBoxLayout;
    content->addWidget(caption("Exception", ForceException, this));
    content->addWidget(ForceException);
    content->addSpacing(8);
    content->addWidget(caption("Format", FormatBox, this));
    content->addWidget(FormatBox);
    content->addSpacing(8);
    content->addWidget(MoreCodes);
    content->addStretch(1);
    rows->addLayout(content);

    auto *counts = new QHBoxLayout;
    counts->addWidget(StatsLabel, 1);
    counts->addWidget(ResetStats);
    counts->addSpacing(16);
    counts->addWidget(LoadTables);
    counts->addWidget(SaveTables);
    counts->addWidget(LoadMap);
    rows->addLayout(counts);
}
