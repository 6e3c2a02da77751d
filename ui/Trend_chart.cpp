#include "Trend_chart.h"

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QCategoryAxis>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGraphicsPathItem>
#include <QGraphicsRectItem>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSaveFile>
#include <QSvgGenerator>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "Notices.h"
#include "Refresh_throttle.h"

namespace {

struct Span {
    const char *text;
    qint64 ms;
};
constexpr Span kSpans[] = {
    {.text = "1 min", .ms = 60 * 1000},
    {.text = "10 min", .ms = 10 * 60 * 1000},
    {.text = "1 h", .ms = 3600 * 1000},
    {.text = "8 h", .ms = 8 * 3600 * 1000},
};
constexpr int kDefaultSpan = 1;

// The time axis is marked at round times of the local clock, as far apart
// as the width needs.
struct TickStep {
    qint64 ms;
    const char *format;
};
constexpr TickStep kTickSteps[] = {
    {.ms = 1000, .format = "HH:mm:ss"},      {.ms = 2000, .format = "HH:mm:ss"},
    {.ms = 5000, .format = "HH:mm:ss"},      {.ms = 10000, .format = "HH:mm:ss"},
    {.ms = 15000, .format = "HH:mm:ss"},     {.ms = 30000, .format = "HH:mm:ss"},
    {.ms = 60000, .format = "HH:mm"},        {.ms = 120000, .format = "HH:mm"},
    {.ms = 300000, .format = "HH:mm"},       {.ms = 600000, .format = "HH:mm"},
    {.ms = 900000, .format = "HH:mm"},       {.ms = 1800000, .format = "HH:mm"},
    {.ms = 3600000, .format = "HH:mm"},      {.ms = 7200000, .format = "HH:mm"},
};
constexpr qreal kTickSpacing = 90;  // pixels a time label wants at least
constexpr qreal kValueTickSpacing = 30;
// Shorter than this, the chart has its legend on the right.
constexpr int kLegendBelowMinHeight = 260;

// Eight colours told apart on a white ground, one per series number.
constexpr QRgb kColours[kTrendSeriesMax] = {0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e,
                                            0x9467bd, 0x8c564b, 0xe377c2, 0x17becf};
// Lines one pixel wide: the painter draws those on a fast path, where a
// wider pen is stroked into a polygon first, some 20 times slower for a
// chart full of points.
constexpr qreal kPenWidth = 1;
constexpr qreal kDotRadius = 1.5;  // a value alone between two gaps

// A series' line. Its bounds are the points' with room for the pen, and it
// has no shape to hit: a path item works both out by stroking the path,
// which for thousands of points costs far more than drawing them.
class TrendLine : public QGraphicsPathItem {
public:
    using QGraphicsPathItem::QGraphicsPathItem;
    QRectF boundingRect() const override
    {
        const qreal m = pen().widthF();
        return path().controlPointRect().adjusted(-m, -m, m, m);
    }
    QPainterPath shape() const override { return {}; }
};

// The value axis: from bottom to top in steps of 1, 2, 2.5 or 5 times a
// power of ten, at most maxSteps of them, with the values a little inside.
struct ValueScale {
    double bottom, top;
    int steps;
};
ValueScale round_scale(double lo, double hi, int maxSteps)
{
    const double margin = hi > lo ? (hi - lo) * 0.02 : std::max(std::fabs(hi) * 0.05, 1.0);
    lo -= margin;
    hi += margin;
    maxSteps = std::clamp(maxSteps, 1, 10);
    const double power = std::pow(10.0, std::floor(std::log10((hi - lo) / maxSteps)));
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0, 20.0}) {
        const double step = m * power;
        const double bottom = std::floor(lo / step) * step, top = std::ceil(hi / step) * step;
        const int steps = int(std::lround((top - bottom) / step));
        if (steps <= maxSteps)
            return {.bottom = bottom, .top = top, .steps = std::max(steps, 1)};
    }
    return {.bottom = lo, .top = hi, .steps = 1};
}

}  // namespace

TrendChart::TrendChart(QWidget *parent) : QWidget(parent)
{
    span_ = new QComboBox;
    span_->setObjectName(QStringLiteral("TrendSpan"));
    for (const Span &s : kSpans)
        span_->addItem(QString::fromLatin1(s.text));
    span_->setCurrentIndex(kDefaultSpan);
    pause_ = new QCheckBox(QStringLiteral("Pause"));
    pause_->setObjectName(QStringLiteral("PauseTrend"));
    save_ = new QPushButton(QStringLiteral("Save picture\u2026"));
    save_->setObjectName(QStringLiteral("SaveChart"));

    chart_ = new QChart;
    chart_->setMargins(QMargins(4, 4, 4, 4));
    chart_->layout()->setContentsMargins(0, 0, 0, 0);
    chart_->setBackgroundRoundness(0);
    chart_->legend()->setAlignment(Qt::AlignBottom);
    chart_->legend()->setShowToolTips(true);  // for names cut short
    timeAxis_ = new QCategoryAxis;
    timeAxis_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    valueAxis_ = new QValueAxis;
    valueAxis_->setLabelFormat(QStringLiteral("%.4g"));
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    chart_->addAxis(valueAxis_, Qt::AlignLeft);

    // The lines are drawn as paths in the plot area, clipped to it: a
    // series of thousands of points with gaps would otherwise need a chart
    // series per piece between two gaps.
    plotClip_ = new QGraphicsRectItem(chart_);
    plotClip_->setPen(Qt::NoPen);
    plotClip_->setFlag(QGraphicsItem::ItemClipsChildrenToShape);
    plotClip_->setZValue(10);  // above the grid lines

    view_ = new QChartView(chart_, this);
    view_->setRenderHint(QPainter::Antialiasing);

    buttonRow_ = new QWidget(this);
    auto *controls = new QHBoxLayout(buttonRow_);
    controls->setContentsMargins(0, 0, 0, 0);
    controls->addStretch(1);
    auto *spanLabel = new QLabel(QStringLiteral("Span"), buttonRow_);
    spanLabel->setBuddy(span_);
    controls->addWidget(spanLabel);
    controls->addWidget(span_);
    controls->addWidget(pause_);
    controls->addWidget(save_);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buttonRow_);
    layout->addWidget(view_, 1);

    throttle_ = new RefreshThrottle(kRedrawMs, [this] {
        // Out of sight, the chart catches up when it is shown.
        if (isVisible())
            redraw();
        else
            behind_ = true;
    }, this);
    connect(span_, &QComboBox::currentIndexChanged, this, &TrendChart::redraw);
    connect(pause_, &QCheckBox::toggled, this, &TrendChart::pauseToggled);
    connect(save_, &QPushButton::clicked, this, &TrendChart::save);
    // A new plot area (the window resized, the axis labels widened): the
    // paths follow at once, thinned again for the new width at the next
    // redraw.
    connect(chart_, &QChart::plotAreaChanged, this, [this] {
        layoutPaths();
        throttle_->schedule();
    });
    redraw();
}

TrendChart::~TrendChart() = default;

int TrendChart::addSeries(const QString &name, const QString &unit)
{
    const int n = store_.add_series();
    if (n < 0)
        return -1;
    Plotted &p = plotted_[size_t(n)];
    const QColor colour(kColours[n]);
    p.legend = new QLineSeries;
    p.legend->setName(unit.isEmpty() ? name : name + QStringLiteral(" [") + unit + QLatin1Char(']'));
    p.legend->setPen(QPen(colour, kPenWidth));
    chart_->addSeries(p.legend);
    p.legend->attachAxis(timeAxis_);
    p.legend->attachAxis(valueAxis_);
    // Legend entries in the order of the series' numbers.
    for (int i = n + 1; i < kTrendSeriesMax; ++i) {
        if (QLineSeries *later = plotted_[size_t(i)].legend) {
            chart_->removeSeries(later);
            chart_->addSeries(later);
            later->attachAxis(timeAxis_);
            later->attachAxis(valueAxis_);
        }
    }
    p.path = new TrendLine(plotClip_);
    QPen pen(colour, kPenWidth);
    p.path->setPen(pen);
    throttle_->schedule();
    return n;
}

void TrendChart::removeSeries(int series)
{
    if (!store_.has_series(series))
        return;
    store_.remove_series(series);
    Plotted &p = plotted_[size_t(series)];
    chart_->removeSeries(p.legend);
    delete p.legend;
    delete p.path;
    p = Plotted{};
    throttle_->schedule();
}

void TrendChart::removeAllSeries()
{
    for (int i = 0; i < kTrendSeriesMax; ++i)
        removeSeries(i);
}

int TrendChart::seriesCount() const
{
    return int(std::count_if(plotted_.begin(), plotted_.end(), [](const Plotted &p) { return p.legend; }));
}

void TrendChart::addPoint(int series, qint64 timeMs, double value)
{
    store_.add_point(series, timeMs, value);
    pointsCame();
}

void TrendChart::addGap(int series, qint64 timeMs)
{
    store_.add_gap(series, timeMs);
    pointsCame();
}

void TrendChart::pointsCame()
{
    if (!paused())
        throttle_->schedule();
}

qint64 TrendChart::spanMs() const { return kSpans[std::clamp(span_->currentIndex(), 0, int(std::size(kSpans)) - 1)].ms; }

bool TrendChart::paused() const { return pause_->isChecked(); }

void TrendChart::pauseToggled(bool on)
{
    if (!on)
        redraw();  // catches up with what came meanwhile
}

void TrendChart::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    chart_->legend()->setAlignment(height() < kLegendBelowMinHeight ? Qt::AlignRight : Qt::AlignBottom);
}

void TrendChart::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (behind_)
        redraw();
}

void TrendChart::redraw()
{
    throttle_->refreshing();
    behind_ = false;

    // The window ends at the newest point (now, while reads come), or where
    // it ended when the view was paused.
    qint64 end = shownEndMs_;
    if (!paused() || end == 0) {
        int64_t newest = 0;
        end = store_.newest_ms(newest) ? newest : QDateTime::currentMSecsSinceEpoch();
    }
    const qint64 begin = end - spanMs();
    shownEndMs_ = end;

    const QRectF area = chart_->plotArea();
    const int columns = std::clamp(int(area.width()), 1, 8192);
    float lo = 0, hi = 0;
    bool any = false;
    for (int i = 0; i < kTrendSeriesMax; ++i) {
        Plotted &p = plotted_[size_t(i)];
        if (!p.legend)
            continue;
        store_.thin(i, begin, end, columns, p.thinned);
        // Paused, what came since stays out of the view.
        while (paused() && !p.thinned.empty() && p.thinned.back().t_ms > end)
            p.thinned.pop_back();
        // The value axis fits what lies in the window.
        for (const Trend_point &t : p.thinned) {
            if (t.is_gap() || t.t_ms < begin || t.t_ms > end)
                continue;
            lo = any ? std::min(lo, t.value) : t.value;
            hi = any ? std::max(hi, t.value) : t.value;
            any = true;
        }
    }
    // As many marks as the height has room for, at round values.
    const ValueScale scale = round_scale(any ? lo : 0, any ? hi : 1, int(area.height() / kValueTickSpacing));
    valueAxis_->setRange(scale.bottom, scale.top);
    valueAxis_->setTickCount(scale.steps + 1);
    markTimes(begin, end, area.width());

    layoutPaths();
}

void TrendChart::markTimes(qint64 begin, qint64 end, qreal width)
{
    const int most = std::max(2, int(width / kTickSpacing));
    const TickStep *step = &kTickSteps[std::size(kTickSteps) - 1];
    for (const TickStep &s : kTickSteps) {
        if ((end - begin) / s.ms <= most) {
            step = &s;
            break;
        }
    }
    // Round in local time (a zone may be half an hour off UTC).
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(end).offsetFromUtc()) * 1000;
    const QString format = QString::fromLatin1(step->format);
    qint64 t = (begin + offset) / step->ms * step->ms - offset;
    // A label centred on a mark near an edge would be cut there.
    const qint64 room = qint64(QFontMetricsF(timeAxis_->labelsFont()).horizontalAdvance(format) / 2 * double(end - begin) /
                               std::max(width, 1.0));
    std::vector<std::pair<QString, qint64>> marks;
    for (; t <= end - room; t += step->ms) {
        if (t > begin + room)
            marks.emplace_back(QDateTime::fromMSecsSinceEpoch(t).toString(format), t);
    }
    if (marks != timeMarks_) {
        for (const QString &label : timeAxis_->categoriesLabels())
            timeAxis_->remove(label);
    }
    timeAxis_->setStartValue(double(begin));
    timeAxis_->setRange(double(begin), double(end));
    if (marks != timeMarks_) {
        for (const auto &[label, at] : marks)
            timeAxis_->append(label, double(at));
        timeMarks_ = std::move(marks);
    }
}

void TrendChart::layoutPaths()
{
    const QRectF area = chart_->plotArea();
    plotClip_->setRect(area);
    const qint64 end = shownEndMs_, begin = end - spanMs();
    const double y0 = valueAxis_->min(), y1 = valueAxis_->max();
    const double sx = area.width() / double(end - begin);
    const double sy = area.height() / (y1 - y0);
    for (Plotted &p : plotted_) {
        if (!p.legend)
            continue;
        QPainterPath path;
        bool drawing = false;  // a piece of line is open
        QPointF last;
        int piece = 0;  // points in the open piece
        for (const Trend_point &t : p.thinned) {
            if (t.is_gap()) {
                if (piece == 1)  // a lone value between gaps shows as a dot
                    path.addEllipse(last, kDotRadius, kDotRadius);
                drawing = false;
                piece = 0;
                continue;
            }
            const QPointF at(area.left() + double(t.t_ms - begin) * sx, area.bottom() - (double(t.value) - y0) * sy);
            if (drawing) {
                path.lineTo(at);
            } else {
                path.moveTo(at);
                drawing = true;
            }
            last = at;
            ++piece;
        }
        if (piece == 1)
            path.addEllipse(last, kDotRadius, kDotRadius);
        p.path->setPath(path);
    }
}

void TrendChart::save()
{
    QFileDialog dialog(this, QStringLiteral("Save picture"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("PNG picture (*.png)"), QStringLiteral("SVG drawing (*.svg)")});
    // A name typed without an extension takes the chosen type's.
    dialog.setDefaultSuffix(QStringLiteral("png"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &filter) {
        dialog.setDefaultSuffix(filter.contains(QLatin1String("*.svg")) ? QStringLiteral("svg")
                                                                         : QStringLiteral("png"));
    });
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        saveTo(dialog.selectedFiles().constFirst());
}

bool TrendChart::saveTo(const QString &name)
{
    const QString type = QFileInfo(name).suffix().toLower();
    if (type != QLatin1String("png") && type != QLatin1String("svg")) {
        show_message_box("A chart is saved as .png (a picture) or .svg (a drawing): "
                         "name the file with one of these extensions.");
        return false;
    }
    // The file is replaced only once it is whole.
    QSaveFile file(name);
    bool drawn = false;
    if (file.open(QIODevice::WriteOnly)) {
        const QSize size = view_->size();
        if (type == QLatin1String("svg")) {
            QSvgGenerator svg;
            svg.setOutputDevice(&file);
            svg.setSize(size);
            svg.setViewBox(QRect(QPoint(0, 0), size));
            svg.setTitle(QStringLiteral("Trend"));
            QPainter painter;
            drawn = painter.begin(&svg);
            if (drawn) {
                view_->render(&painter);
                drawn = painter.end();
            }
        } else {
            drawn = view_->grab().save(&file, "PNG");
        }
    }
    if (!drawn || !file.commit()) {
        const QString why = file.errorString().isEmpty() ? QStringLiteral("cannot write") : file.errorString();
        show_message_box(QStringLiteral("Could not save the chart to %1: %2").arg(name, why).toStdString());
        return false;
    }
    return true;
}
