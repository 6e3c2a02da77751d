#include "Tcp_framer.h"

void TcpFramer::append(const uint8_t *data, size_t n)
{
    if (head_ > 0 && head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    }
    buf_.insert(buf_.end(), data, data + n);
}

TcpFramer::Status TcpFramer::next(std::vector<uint8_t> &out, unsigned *badLength)
{
    const size_t avail = buffered();
    if (avail < 6)
        return Status::NeedMore;
    const uint8_t *p = buf_.data() + head_;
    const unsigned length = (unsigned(p[4]) << 8) | p[5];
    if (length < kMinLength || length > kMaxLength) {
        if (badLength)
            *badLength = length;
        take(out);
        return Status::Bad;
    }
    const size_t total = 6 + length;
    if (avail < total)
        return Status::NeedMore;
    out.assign(p, p + total);
    head_ += total;
    if (head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    } else if (head_ > 4096) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    return Status::Frame;
}

void TcpFramer::clear()
{
    buf_.clear();
    head_ = 0;
}

void TcpFramer::take(std::vector<uint8_t> &out)
{
    out.assign(buf_.begin() + static_cast<std::ptrdiff_t>(head_), buf_.end());
    clear();
}
