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

    auto *rows = new QVBoxLayout(this);
    rows->setContentsMargins(6, 2, 6, 2);
    rows->setSpacing(2);
    auto *faults = new QHBoxLayout;
    faults->addWidget(caption("Units", UnitIds, this));
    faults->addWidget(UnitIds, 1);
    faults->addSpacing(6);
    faults->addWidget(caption("Delay", DelayMs, this));
    faults->addWidget(DelayMs);
    faults->addSpacing(6);
    faults->addWidget(caption("Drop every", DropEvery, this));
    faults->addWidget(DropEvery);
    faults->addSpacing(6);
    faults->addWidget(caption("Exception", ForceException, this));
    faults->addWidget(ForceException);
    if (CorruptBox) {
        faults->addSpacing(6);
        faults->addWidget(CorruptBox);
    }
    rows->addLayout(faults);

    auto *view = new QHBoxLayout;
    view->addWidget(caption("Format", FormatBox, this));
    view->addWidget(FormatBox);
    view->addSpacing(12);
    view->addWidget(StatsLabel, 1);
    view->addWidget(ResetStats);
    view->addSpacing(12);
    view->addWidget(LoadTables);
    view->addWidget(SaveTables);
    rows->addLayout(view);
}
