// The points of the trend chart: up to kTrendSeriesMax series of values
// against time, each bounded in time and in memory, and thinned for drawing
// to what a pixel column can show.
//
// A point is 8 bytes (a time in ms from the store's origin, 32 bits, and the
// value as a float: a drawing needs no more than 7 digits). A failed read is
// a gap: the line stops there and starts again at the next value. Points
// that come faster than one per slot_ms are folded so that each slot keeps
// at most its lowest and highest value: 8 h then fit in max_points whatever
// the poll rate, and a peak is never lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

inline constexpr int kTrendSeriesMax = 8;

struct Trend_limits {
    int64_t keep_ms = 8LL * 3600 * 1000;  // older points leave
    size_t max_points = 576000;           // two per slot for 8 h
    int64_t slot_ms = 100;
};

// A point of a thinned series: value NaN is a gap.
struct Trend_point {
    int64_t t_ms = 0;
    float value = 0;
    bool is_gap() const { return value != value; }
};

class Trend_store {
public:
    explicit Trend_store(Trend_limits limits = {});

    // A new, empty series: its number (0 to kTrendSeriesMax - 1), the lowest
    // free one, or -1 when every number is taken.
    int add_series();
    // The series goes with its points; its number becomes free.
    void remove_series(int series);
    bool has_series(int series) const;

    // A value read at t_ms. Times run forward: a time before the series'
    // last is taken as that time (a clock set back). A value that is not a
    // finite number cannot be drawn and is a gap.
    void add_point(int series, int64_t t_ms, double value);
    // A failed read at t_ms: the line breaks here.
    void add_gap(int series, int64_t t_ms);

    size_t size(int series) const;  // stored points and gaps
    // The time of the newest point of any series; false when there is none.
    bool newest_ms(int64_t &t_ms) const;
    // Bytes held for the points of every series.
    size_t memory_bytes() const;

    // The series' points from from_ms to to_ms thinned to columns pixel
    // columns, into out (replaced): per column the lowest and the highest
    // value in the order they came, at their own times, and a gap wherever
    // a gap lies. The points just outside the window come too, so that the
    // line reaches its edges. A column that holds several gaps keeps its
    // first and, when it ends in one, its last.
    void thin(int series, int64_t from_ms, int64_t to_ms, int columns, std::vector<Trend_point> &out) const;

private:
    struct Point {
        int32_t t;  // ms from origin_
        float v;    // NaN: a gap
    };
    // A ring of points, oldest first, growing up to max_points.
    struct Series {
        bool used = false;
        std::vector<Point> ring;
        size_t head = 0;  // index of the oldest point in ring
        size_t count = 0;
        const Point &at(size_t k) const { return ring[(head + k) % ring.size()]; }
        Point &at(size_t k) { return ring[(head + k) % ring.size()]; }
    };

    void add(int series, int64_t t_ms, float v);
    void push(Series &s, Point p);
    // Points older than keep_ms before now (ms from origin) leave.
    void drop_old(Series &s, int64_t now) const;
    // Moves the origin forward so that times to come fit in 32 bits.
    void rebase(int64_t t_ms);
    // The first point at or after t (ms from origin), as an index from the oldest.
    size_t lower_bound(const Series &s, int64_t t) const;

    Trend_limits limits_;
    Series series_[kTrendSeriesMax];
    int64_t origin_ = 0;
    bool hasOrigin_ = false;
};
