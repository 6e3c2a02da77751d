#include "Line_monitor.h"

#include <algorithm>
#include <climits>

#include "Hex_digit.h"
#include "Rtu_layout.h"

int32_t serial_bits_per_char(int32_t data_bits, char parity, int32_t stop_bits)
{
    return 1 + (data_bits == 7 ? 7 : 8) + (parity == 'E' || parity == 'O' ? 1 : 0) + (stop_bits == 2 ? 2 : 1);
}

int64_t rtu_silence_us(int32_t baud, int32_t bits_per_char)
{
    if (baud <= 0 || baud > 19200)
        return 1750;
    return (35LL * bits_per_char * 1000000 + 10LL * baud - 1) / (10LL * baud);
}

std::string Monitor_counters::label() const
{
    return "Req " + std::to_string(req) + "  Ans " + std::to_string(ans) + "  Exc " + std::to_string(exc) +
           "  Err " + std::to_string(err) + "  Unans " + std::to_string(unans) + "  Noise " + std::to_string(noise);
}

// ---- splitting -----------------------------------------------------------------

class Line_monitor::Splitter {
public:
    explicit Splitter(Line_monitor &monitor) : m_(monitor) {}
    virtual ~Splitter() = default;
    virtual void feed(const uint8_t *data, size_t n, int64_t at) = 0;
    virtual void idle(int64_t now) = 0;
    virtual void flush() = 0;
    virtual int64_t wake_at() const = 0;
    virtual size_t buffered() const = 0;

protected:
    Line_monitor &m_;
};

class Line_monitor::Rtu_splitter final : public Splitter {
public:
    explicit Rtu_splitter(Line_monitor &monitor)
        : Splitter(monitor), silence_(monitor.silence_), hold_(std::max(kRtuHoldUs, monitor.silence_))
    {
    }

    void feed(const uint8_t *data, size_t n, int64_t at) override
    {
        at = std::max(at, last_);
        while (n > 0) {
            compact();
            // process() always leaves less than a full buffer.
            const size_t take = std::min(n, kBufferMax - buf_.size());
            buf_.insert(buf_.end(), data, data + take);
            times_.insert(times_.end(), take, at);
            data += take;
            n -= take;
            last_ = at;
            quiet_ = 0;
            process(0);
        }
    }

    void idle(int64_t now) override
    {
        if (head_ < buf_.size() && now - last_ > quiet_) {
            quiet_ = now - last_;
            process(quiet_);
        }
    }

    void flush() override
    {
        quiet_ = INT64_MAX;
        process(quiet_);
    }

    int64_t wake_at() const override
    {
        if (head_ >= buf_.size())
            return -1;
        if (quiet_ < silence_)
            return last_ + silence_;
        if (quiet_ < hold_)
            return last_ + hold_;
        return -1;
    }

    size_t buffered() const override { return buf_.size() - head_; }

private:
    // Two of the longest frames: a frame waiting for its rest, and the next one.
    static constexpr size_t kBufferMax = 2 * kRtuMaxFrame;
    static constexpr size_t npos = SIZE_MAX;

    struct Match {
        enum Kind { Frame, Need_more, Failed, Unknown };
        Kind kind = Failed;
        size_t length = 0;                             // Frame, or the fallback
        bool as_request = false, as_answer = false;    // Frame: the layouts it fits
        bool fallback = false;  // Need_more: a whole frame of the other kind is there meanwhile
        size_t request_length = 0, answer_length = 0;  // the lengths the layouts give, 0 none
    };

    // What the bytes from i on make.
    Match match_at(size_t i) const
    {
        const uint8_t *p = buf_.data() + i;
        const size_t avail = buf_.size() - i;
        const Rtu_length rq = rtu_length_as_request(p, avail);
        const Rtu_length an = rtu_length_as_answer(p, avail);
        Match m;
        m.request_length = rq.kind == Rtu_length::Known ? size_t(rq.bytes) : 0;
        m.answer_length = an.kind == Rtu_length::Known ? size_t(an.bytes) : 0;
        auto whole = [&](size_t len) { return len > 0 && len <= avail && rtu_crc_holds(p, len); };
        auto pending = [&](const Rtu_length &l) {
            return l.kind == Rtu_length::Need_more || (l.kind == Rtu_length::Known && size_t(l.bytes) > avail);
        };
        const bool request = whole(m.request_length);
        const bool answer = m.answer_length == m.request_length ? request : whole(m.answer_length);
        // The frame the line expects: the answer to the request waiting for one, else a request.
        const bool expect_answer = avail >= 2 && m_.answers_waiting(p[0], p[1] & 0x7F);
        if (request || answer) {
            m.kind = Match::Frame;
            if (request && answer && m.request_length != m.answer_length) {
                // Two frames of different lengths fit: the one the line waits for.
                m.as_answer = expect_answer;
                m.as_request = !m.as_answer;
                m.length = m.as_answer ? m.answer_length : m.request_length;
            } else {
                m.length = request ? m.request_length : m.answer_length;
                m.as_request = request && m.request_length == m.length;
                m.as_answer = answer && m.answer_length == m.length;
            }
            // The start of a longer frame of the expected kind can hold a CRC
            // that fits by chance: while that frame may still come, wait for
            // it, and take this one only if it does not.
            if (expect_answer ? !answer && pending(an) : !request && pending(rq)) {
                m.kind = Match::Need_more;
                m.fallback = true;
            }
            return m;
        }
        if (pending(rq) || pending(an))
            m.kind = Match::Need_more;
        else if (rq.kind == Rtu_length::Unknown && an.kind == Rtu_length::Unknown)
            m.kind = Match::Unknown;
        else
            m.kind = Match::Failed;
        return m;
    }

    // The first byte from `from` on that came after a silence.
    size_t first_silence(size_t from) const
    {
        for (size_t i = std::max<size_t>(from, 1); i < buf_.size(); ++i)
            if (times_[i] - times_[i - 1] >= silence_)
                return i;
        return npos;
    }

    void process(int64_t quiet)
    {
        while (head_ < buf_.size()) {
            const Match m = match_at(head_);
            if (m.kind == Match::Frame) {
                emit(head_, m.length, true, m.as_request, m.as_answer);
                advance(head_ + m.length);
                continue;
            }
            const bool full = buf_.size() - head_ >= kBufferMax;
            if (m.kind == Match::Need_more && quiet < hold_ && !full)
                return;  // a frame begun: its rest may still come, across a silence too
            if (m.kind == Match::Need_more && m.fallback) {
                emit(head_, m.length, true, m.as_request, m.as_answer);
                advance(head_ + m.length);
                continue;
            }
            // The front ends at the first silence, or at the end once the
            // line has been quiet, or where the next good frame starts.
            size_t end = first_silence(head_ + 1);
            if (end == npos && quiet >= silence_)
                end = buf_.size();
            size_t next = npos;
            bool blocked = false;  // a position that may still start a frame, once more bytes come
            for (size_t i = std::max(head_ + 1, scan_), limit = end == npos ? buf_.size() : end; i < limit; ++i) {
                const Match at = match_at(i);
                // Before a frame of a code without a layout, a split needs
                // both halves whole: its data may hold anything.
                if (at.kind == Match::Frame &&
                    (m.kind != Match::Unknown || rtu_crc_holds(&buf_[head_], i - head_))) {
                    next = i;
                    break;
                }
                if (at.kind == Match::Need_more && end == npos) {
                    blocked = true;
                    scan_ = i;
                    break;
                }
                scan_ = i + 1;  // no frame starts here, whatever comes
            }
            size_t stop;
            if (next != npos)
                stop = next;
            else if (end != npos)
                stop = end;
            else if (full)
                stop = blocked ? scan_ : buf_.size();
            else
                return;  // wait for a silence or the next frame
            resolve(head_, stop, m, stop == end);
            advance(stop);
        }
    }

    // Bytes from b to stop that made no good frame at b.
    void resolve(size_t b, size_t stop, const Match &m, bool closed_by_silence)
    {
        const size_t len = stop - b;
        const bool framed = len >= 4 && len <= size_t(kRtuMaxFrame);
        if (framed && rtu_crc_holds(&buf_[b], len))
            emit(b, len, true, false, false);  // whole, by a layout other than the expected ones
        else if (len == m.request_length || len == m.answer_length)
            emit(b, len, false, len == m.request_length, len == m.answer_length);
        else if (closed_by_silence && framed)
            emit(b, len, false, false, false);
        else
            m_.noise(&buf_[b], len, times_[b]);
    }

    void emit(size_t b, size_t len, bool ok, bool as_request, bool as_answer)
    {
        m_.heard({.bytes = &buf_[b],
                  .n = len,
                  .time_us = times_[b],
                  .end_us = times_[b + len - 1],
                  .checksum_ok = ok,
                  .unit_pdu = &buf_[b],
                  .unit_pdu_n = len - 2,
                  .as_request = as_request,
                  .as_answer = as_answer});
    }

    void advance(size_t to)
    {
        head_ = to;
        scan_ = 0;
    }

    void compact()
    {
        if (head_ == 0)
            return;
        buf_.erase(buf_.begin(), buf_.begin() + ptrdiff_t(head_));
        times_.erase(times_.begin(), times_.begin() + ptrdiff_t(head_));
        if (scan_ > 0)
            scan_ -= std::min(scan_, head_);
        head_ = 0;
    }

    const int64_t silence_, hold_;
    std::vector<uint8_t> buf_;
    std::vector<int64_t> times_;  // the arrival of each byte's chunk
    size_t head_ = 0;             // the first byte not yet reported
    size_t scan_ = 0;             // positions after head_ and before it start no frame
    int64_t last_ = INT64_MIN;    // the last byte's arrival
    int64_t quiet_ = 0;           // how long after it the line was seen quiet
};

class Line_monitor::Ascii_splitter final : public Splitter {
public:
    explicit Ascii_splitter(Line_monitor &monitor) : Splitter(monitor) {}

    void feed(const uint8_t *data, size_t n, int64_t at) override
    {
        for (size_t i = 0; i < n; ++i) {
            const uint8_t c = data[i];
            if (c == ':') {
                drop_frame();  // a frame cut short by the next one
                flush_noise();
                in_frame_ = true;
                frame_.assign(1, c);
                frame_time_ = at;
            } else if (in_frame_) {
                frame_.push_back(c);
                if (c == '\n')
                    finish(at);
                else if (frame_.size() >= kAsciiMaxFrame)
                    drop_frame();
            } else {
                if (noise_.empty())
                    noise_time_ = at;
                noise_.push_back(c);
                if (noise_.size() >= kAsciiMaxFrame)
                    flush_noise();
            }
        }
        if (n > 0)
            last_ = at;
    }

    void idle(int64_t now) override
    {
        if (now - last_ >= kAsciiHoldUs)
            flush();
    }

    void flush() override
    {
        drop_frame();
        flush_noise();
    }

    int64_t wake_at() const override { return buffered() > 0 ? last_ + kAsciiHoldUs : -1; }
    size_t buffered() const override { return frame_.size() + noise_.size(); }

private:
    void drop_frame()
    {
        if (in_frame_)
            m_.noise(frame_.data(), frame_.size(), frame_time_);
        in_frame_ = false;
        frame_.clear();
    }

    void flush_noise()
    {
        if (!noise_.empty())
            m_.noise(noise_.data(), noise_.size(), noise_time_);
        noise_.clear();
    }

    // ':' through LF: the hexadecimal pairs between them, the LRC last, CR
    // before the LF.
    void finish(int64_t at)
    {
        const size_t n = frame_.size();
        const bool cr = n >= 3 && frame_[n - 2] == '\r';
        const size_t digits = n - (cr ? 3 : 2);
        std::vector<uint8_t> &bin = binary_;
        bin.clear();
        bool hex = digits % 2 == 0;
        for (size_t i = 1; hex && i + 1 <= digits; i += 2) {
            const int hi = hex_digit(char(frame_[i])), lo = hex_digit(char(frame_[i + 1]));
            hex = hi >= 0 && lo >= 0;
            bin.push_back(uint8_t(hi << 4 | lo));
        }
        uint8_t sum = 0;  // the LRC makes the sum of all bytes, itself included, zero
        for (uint8_t b : bin)
            sum = uint8_t(sum + b);
        const bool readable = hex && bin.size() >= 3;
        const size_t body = readable ? bin.size() - 1 : 0;  // unit and PDU
        auto fits = [&](Rtu_length l) { return readable && l.kind == Rtu_length::Known && size_t(l.bytes) == body + 2; };
        m_.heard({.bytes = frame_.data(),
                  .n = n,
                  .time_us = frame_time_,
                  .end_us = at,
                  .checksum_ok = readable && cr && sum == 0,
                  .unit_pdu = readable ? bin.data() : nullptr,
                  .unit_pdu_n = body,
                  .as_request = fits(rtu_length_as_request(bin.data(), body)),
                  .as_answer = fits(rtu_length_as_answer(bin.data(), body))});
        in_frame_ = false;
        frame_.clear();
    }

    std::vector<uint8_t> frame_, noise_, binary_;
    bool in_frame_ = false;
    int64_t frame_time_ = 0, noise_time_ = 0;
    int64_t last_ = 0;
};

// ---- the monitor -----------------------------------------------------------

Line_monitor::Line_monitor(Line_settings settings, Frame_sink on_frame, Noise_sink on_noise)
    : settings_(settings), silence_(rtu_silence_us(settings.baud, settings.bits_per_char)),
      on_frame_(std::move(on_frame)), on_noise_(std::move(on_noise))
{
    if (settings_.framing == Line_framing::Ascii)
        splitter_ = std::make_unique<Ascii_splitter>(*this);
    else
        splitter_ = std::make_unique<Rtu_splitter>(*this);
}

Line_monitor::~Line_monitor() = default;

void Line_monitor::feed(const uint8_t *data, size_t n, int64_t at_us)
{
    if (data && n > 0)
        splitter_->feed(data, n, at_us);
}

void Line_monitor::idle(int64_t now_us) { splitter_->idle(now_us); }
void Line_monitor::flush() { splitter_->flush(); }
int64_t Line_monitor::wake_at_us() const { return splitter_->wake_at(); }
size_t Line_monitor::buffered() const { return splitter_->buffered(); }

bool Line_monitor::answers_waiting(uint8_t unit, uint8_t function) const
{
    return waiting_.active && waiting_.fields.unit == unit && waiting_.fields.function == function;
}

void Line_monitor::noise(const uint8_t *bytes, size_t n, int64_t time_us)
{
    counters_.noise += n;
    if (on_noise_)
        on_noise_(Monitor_noise{.time_us = time_us, .bytes = std::vector<uint8_t>(bytes, bytes + n)});
}

void Line_monitor::heard(const Heard &h)
{
    Monitor_frame f;
    f.number = ++counters_.frames;
    f.time_us = h.time_us;
    f.end_us = h.end_us;
    f.checksum_ok = h.checksum_ok;
    f.bytes.assign(h.bytes, h.bytes + h.n);
    const uint8_t unit = h.unit_pdu_n >= 1 ? h.unit_pdu[0] : 0;
    const uint8_t function = h.unit_pdu_n >= 2 ? uint8_t(h.unit_pdu[1] & 0x7F) : 0;
    if (!h.checksum_ok)
        f.role = Monitor_role::Unknown;
    else if (h.as_answer != h.as_request)
        f.role = h.as_answer ? Monitor_role::Answer : Monitor_role::Request;
    else  // both layouts fit, or neither is known: the line's state decides
        f.role = answers_waiting(unit, function) ? Monitor_role::Answer : Monitor_role::Request;
    const bool answer = f.role == Monitor_role::Answer || (f.role == Monitor_role::Unknown && h.as_answer && !h.as_request);
    f.fields = decode_pdu(h.unit_pdu, h.unit_pdu_n, answer);

    switch (f.role) {
    case Monitor_role::Request:
        ++counters_.req;
        if (waiting_.active)
            ++counters_.unans;
        waiting_ = {.active = unit != 0, .number = f.number, .end_us = f.end_us, .fields = f.fields};
        break;
    case Monitor_role::Answer:
        ++counters_.ans;
        if (f.fields.exception)
            ++counters_.exc;
        if (answers_waiting(unit, function)) {
            f.request_number = waiting_.number;
            f.request = std::move(waiting_.fields);
            f.response_us = f.end_us - waiting_.end_us;
            waiting_ = {};
        }
        break;
    case Monitor_role::Unknown:
        ++counters_.err;
        break;
    }
    if (on_frame_)
        on_frame_(f);
}
