#include "Trend_store.h"

#include <algorithm>
#include <cmath>

namespace {

// Times are kept in 32 bits from an origin; well before they would overflow
// (some 12 days on), the origin moves forward.
constexpr int64_t kRebaseAfterMs = int64_t(1) << 30;

constexpr float kGap = std::numeric_limits<float>::quiet_NaN();

bool is_gap(float v) { return v != v; }

int64_t slot_of(int64_t t, int64_t slot_ms)
{
    return t >= 0 ? t / slot_ms : -((-t + slot_ms - 1) / slot_ms);
}

}  // namespace

Trend_store::Trend_store(Trend_limits limits) : limits_(limits)
{
    limits_.max_points = std::max<size_t>(limits_.max_points, 2);
    limits_.slot_ms = std::max<int64_t>(limits_.slot_ms, 1);
}

int Trend_store::add_series()
{
    for (int i = 0; i < kTrendSeriesMax; ++i) {
        if (!series_[i].used) {
            series_[i] = Series{};
            series_[i].used = true;
            return i;
        }
    }
    return -1;
}

void Trend_store::remove_series(int series)
{
    if (has_series(series))
        series_[series] = Series{};
}

bool Trend_store::has_series(int series) const
{
    return series >= 0 && series < kTrendSeriesMax && series_[series].used;
}

void Trend_store::add_point(int series, int64_t t_ms, double value)
{
    add(series, t_ms, std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max() ? float(value)
                                                                                                   : kGap);
}

void Trend_store::add_gap(int series, int64_t t_ms) { add(series, t_ms, kGap); }

void Trend_store::add(int series, int64_t t_ms, float v)
{
    if (!has_series(series))
        return;
    if (!hasOrigin_) {
        origin_ = t_ms;
        hasOrigin_ = true;
    }
    if (t_ms - origin_ > kRebaseAfterMs)
        rebase(t_ms);
    Series &s = series_[series];
    int64_t t = std::max(t_ms - origin_, -kRebaseAfterMs);
    if (s.count > 0)
        t = std::max<int64_t>(t, s.at(s.count - 1).t);
    drop_old(s, t);
    const Point p{int32_t(t), v};

    if (is_gap(v)) {
        // A run of failed reads is one gap: the line stays broken until the
        // next value.
        if (s.count == 0 || !is_gap(s.at(s.count - 1).v))
            push(s, p);
        return;
    }
    // A third value in one slot: the slot keeps its lowest and highest.
    if (s.count >= 2) {
        Point &a = s.at(s.count - 2);
        Point &b = s.at(s.count - 1);
        const int64_t slot = slot_of(t, limits_.slot_ms);
        if (!is_gap(a.v) && !is_gap(b.v) && slot_of(a.t, limits_.slot_ms) == slot &&
            slot_of(b.t, limits_.slot_ms) == slot) {
            const Point c[3] = {a, b, p};
            int lo = 0, hi = 0;
            for (int i = 1; i < 3; ++i) {
                if (c[i].v < c[lo].v)
                    lo = i;
                if (c[i].v >= c[hi].v)
                    hi = i;
            }
            if (lo == hi || c[lo].v == c[hi].v) {
                lo = 0;  // all alike: the first and the newest
                hi = 2;
            }
            a = c[std::min(lo, hi)];
            b = c[std::max(lo, hi)];
            return;
        }
    }
    push(s, p);
}

void Trend_store::push(Series &s, Point p)
{
    if (s.count == limits_.max_points) {
        s.ring[s.head] = p;  // the oldest makes room
        s.head = (s.head + 1) % s.ring.size();
        return;
    }
    if (s.count == s.ring.size()) {
        // Grows in steps of a quarter, never past max_points: at most a
        // fifth of the ring lies unused.
        std::vector<Point> grown;
        grown.reserve(std::min(limits_.max_points, std::max<size_t>(64, s.ring.size() + s.ring.size() / 4)));
        for (size_t k = 0; k < s.count; ++k)
            grown.push_back(s.at(k));
        grown.resize(grown.capacity());
        s.ring = std::move(grown);
        s.head = 0;
    }
    s.ring[(s.head + s.count) % s.ring.size()] = p;
    ++s.count;
}

void Trend_store::drop_old(Series &s, int64_t now) const
{
    while (s.count > 0 && s.at(0).t < now - limits_.keep_ms) {
        s.head = (s.head + 1) % s.ring.size();
        --s.count;
    }
}

void Trend_store::rebase(int64_t t_ms)
{
    const int64_t now = t_ms - origin_;
    const int64_t shift = now - limits_.keep_ms;  // no kept point is older
    for (Series &s : series_) {
        if (!s.used)
            continue;
        drop_old(s, now);
        for (size_t k = 0; k < s.count; ++k)
            s.at(k).t = int32_t(s.at(k).t - shift);
    }
    origin_ += shift;
}

size_t Trend_store::size(int series) const { return has_series(series) ? series_[series].count : 0; }

bool Trend_store::newest_ms(int64_t &t_ms) const
{
    bool found = false;
    for (const Series &s : series_) {
        if (s.used && s.count > 0) {
            const int64_t t = origin_ + s.at(s.count - 1).t;
            t_ms = found ? std::max(t_ms, t) : t;
            found = true;
        }
    }
    return found;
}

size_t Trend_store::memory_bytes() const
{
    size_t bytes = 0;
    for (const Series &s : series_)
        bytes += s.ring.capacity() * sizeof(Point);
    return bytes;
}

size_t Trend_store::lower_bound(const Series &s, int64_t t) const
{
    size_t lo = 0, hi = s.count;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (s.at(mid).t < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void Trend_store::thin(int series, int64_t from_ms, int64_t to_ms, int columns, std::vector<Trend_point> &out) const
{
    out.clear();
    if (!has_series(series) || columns < 1 || to_ms <= from_ms)
        return;
    const Series &s = series_[series];
    const int64_t from = from_ms - origin_, to = to_ms - origin_;
    const size_t first = lower_bound(s, from);
    const size_t end = lower_bound(s, to + 1);

    auto emit = [&](const Point &p) { out.push_back({origin_ + p.t, p.v}); };
    auto emit_gap = [&](const Point &p) {
        if (!out.empty() && !out.back().is_gap())
            emit(p);
    };

    // The line comes in from the value before the window.
    if (first > 0 && !is_gap(s.at(first - 1).v))
        emit(s.at(first - 1));

    // One column: the values before its first gap, that gap, the values
    // after it, and a gap again when the column ends in one.
    const Point *lo = nullptr, *hi = nullptr;
    bool afterGap = false, endsInGap = false;
    auto flush = [&] {
        if (lo) {
            if (lo == hi) {
                emit(*lo);
            } else {
                emit(lo->t <= hi->t ? *lo : *hi);
                emit(lo->t <= hi->t ? *hi : *lo);
            }
        }
        lo = hi = nullptr;
    };
    const double width = double(to - from) / columns;
    int column = -1;
    int64_t edge = std::numeric_limits<int64_t>::min();  // where the next column begins
    const Point *lastGap = nullptr;
    auto take = [&](const Point &p) {
        if (p.t >= edge) {
            const int c = std::min(columns - 1, int(double(p.t - from) / width));
            edge = c == columns - 1 ? std::numeric_limits<int64_t>::max()
                                    : from + int64_t(std::ceil(double(c + 1) * width));
            if (c != column) {
                flush();
                if (endsInGap)
                    emit_gap(*lastGap);
                column = c;
                afterGap = endsInGap = false;
            }
        }
        if (is_gap(p.v)) {
            lastGap = &p;
            if (!afterGap) {
                flush();
                emit_gap(p);
                afterGap = true;
            } else if (lo) {
                endsInGap = true;
            }
        } else {
            if (!lo || p.v < lo->v)
                lo = &p;
            if (!hi || p.v > hi->v)
                hi = &p;
            endsInGap = false;
        }
    };
    // The ring in at most two runs of adjacent points: a whole 8 h series
    // is read in a few milliseconds.
    for (size_t k = first; k < end;) {
        const size_t at = (s.head + k) % s.ring.size();
        const size_t run = std::min(end - k, s.ring.size() - at);
        for (const Point *p = s.ring.data() + at, *stop = p + run; p != stop; ++p)
            take(*p);
        k += run;
    }
    flush();
    if (endsInGap)
        emit_gap(*lastGap);

    // And goes on to the value after it.
    if (end < s.count && !is_gap(s.at(end).v))
        emit(s.at(end));
}
