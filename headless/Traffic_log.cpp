#include "Traffic_log.h"

#include <ctime>

namespace {

// Bytes a log line never grows beyond, whatever a client sends.
constexpr size_t kPendingMax = 1 << 20;

}  // namespace

void TrafficLog::stamp()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    char b[64];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03ld ", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ts.tv_nsec / 1000000);
    pending_ += b;
}

void TrafficLog::frame(const char *direction, const std::string &peer, const uint8_t *bytes, size_t n, bool asText)
{
    if (!out_)
        return;
    static const char digits[] = "0123456789ABCDEF";
    std::lock_guard<std::mutex> lock(mu_);
    stamp();
    pending_ += direction;
    pending_ += ' ';
    pending_ += peer;
    if (asText)
        pending_ += ' ';
    for (size_t i = 0; i < n; ++i) {
        if (asText) {
            // The ':' ... text without its CR LF; anything unprintable as '.'.
            if (bytes[i] != '\r' && bytes[i] != '\n')
                pending_ += bytes[i] >= 0x20 && bytes[i] < 0x7F ? char(bytes[i]) : '.';
        } else {
            pending_ += ' ';
            pending_ += digits[bytes[i] >> 4];
            pending_ += digits[bytes[i] & 0x0F];
        }
    }
    pending_ += '\n';
    spill();
}

void TrafficLog::spill()
{
    if (pending_.size() > kPendingMax) {
        std::fwrite(pending_.data(), 1, pending_.size(), out_);
        pending_.clear();
    }
}

void TrafficLog::event(const std::string &peer, const std::string &text)
{
    if (!out_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    stamp();
    pending_ += "-- ";
    pending_ += peer;
    pending_ += ' ';
    for (char c : text)
        if (c != '\r' && c != '\n')
            pending_ += c;
    pending_ += '\n';
    spill();
}

void TrafficLog::flush()
{
    if (!out_)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (pending_.empty())
        return;
    std::fwrite(pending_.data(), 1, pending_.size(), out_);
    std::fflush(out_);
    pending_.clear();
}
