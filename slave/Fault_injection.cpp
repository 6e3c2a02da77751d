#include "Fault_injection.h"

#include <cctype>

#include "Hex_digit.h"
#include "Strformat.h"

namespace {

// Two hexadecimal characters as a byte; -1 when they are not.
int hex_pair(const uint8_t *p)
{
    const int hi = hex_digit(p[0]), lo = hex_digit(p[1]);
    return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

void invert_checksum(SlaveFraming framing, std::vector<uint8_t> &frame, bool &done)
{
    switch (framing) {
    case SlaveFraming::Rtu:
        if (frame.size() >= 2) {
            frame[frame.size() - 2] ^= 0xFF;
            frame[frame.size() - 1] ^= 0xFF;
            done = true;
        }
        break;
    case SlaveFraming::Ascii: {
        // ':' ... LRC (two characters) CR LF
        if (frame.size() < 5)
            break;
        uint8_t *lrc = frame.data() + frame.size() - 4;
        const int v = hex_pair(lrc);
        if (v < 0)
            break;
        static const char digits[] = "0123456789ABCDEF";
        const unsigned inv = unsigned(~v) & 0xFF;
        lrc[0] = uint8_t(digits[inv >> 4]);
        lrc[1] = uint8_t(digits[inv & 0x0F]);
        done = true;
        break;
    }
    case SlaveFraming::Tcp: break;
    }
}

}  // namespace

std::string FaultOptions::problem() const
{
    if (delayMs < 0 || delayMs > kFaultDelayMaxMs)
        return strformat("delay %d ms out of range (0 to %d)", delayMs, kFaultDelayMaxMs);
    if (dropEvery > kFaultDropEveryMax)
        return strformat("drop every %u out of range (0 to %u)", dropEvery, kFaultDropEveryMax);
    for (const ForcedExceptionItem &item : kForcedExceptionItems)
        if (item.code == exceptionCode)
            return {};
    return strformat("exception %02X cannot be forced", unsigned(exceptionCode));
}

bool parse_forced_exception(std::string_view text, uint8_t &code)
{
    std::string t;
    for (char c : text.substr(0, 64))
        t += char(std::toupper(static_cast<unsigned char>(c)));
    for (const ForcedExceptionItem &item : kForcedExceptionItems) {
        std::string itemText(item.text);
        for (char &c : itemText)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        if (t == itemText) {
            code = item.code;
            return true;
        }
    }
    std::string_view digits(t);
    if (digits.size() > 2 && digits.substr(0, 2) == "0X")
        digits.remove_prefix(2);
    if (digits.empty() || digits.size() > 2)
        return false;
    int v = 0;
    for (char c : digits) {
        const int d = hex_digit(uint8_t(c));
        if (d < 0)
            return false;
        v = v << 4 | d;
    }
    for (const ForcedExceptionItem &item : kForcedExceptionItems)
        if (item.code != 0 && item.code == v) {
            code = item.code;
            return true;
        }
    return false;
}

std::string ordinal(unsigned n)
{
    const char *suffix = "th";
    if (n % 100 < 11 || n % 100 > 13) {
        switch (n % 10) {
        case 1: suffix = "st"; break;
        case 2: suffix = "nd"; break;
        case 3: suffix = "rd"; break;
        default: break;
        }
    }
    return std::to_string(n) + suffix;
}

const SlaveProfile &slave_profile_of(SlaveFraming framing)
{
    switch (framing) {
    case SlaveFraming::Rtu: return kSlaveRtuProfile;
    case SlaveFraming::Ascii: return kSlaveAsciiProfile;
    case SlaveFraming::Tcp: break;
    }
    return kSlaveTcpProfile;
}

int slave_request_function(SlaveFraming framing, const uint8_t *request, size_t n)
{
    switch (framing) {
    case SlaveFraming::Rtu: return n >= 2 ? request[1] : -1;
    case SlaveFraming::Tcp: return n >= 8 ? request[7] : -1;
    case SlaveFraming::Ascii: return n >= 5 ? hex_pair(request + 3) : -1;
    }
    return -1;
}

FaultOutcome apply_faults(const FaultOptions &options, FaultState &state, SlaveFraming framing,
                          const uint8_t *request, size_t n, std::vector<uint8_t> &response)
{
    FaultOutcome out;
    if (!options.active())
        return out;
    ++state.answerable;
    if (options.dropEvery != 0 && state.answerable % options.dropEvery == 0) {
        response.clear();
        out.dropped = true;
        out.lines.push_back("Dropped (every " + ordinal(options.dropEvery) + ")");
        return out;
    }
    if (options.exceptionCode != 0) {
        const int fn = slave_request_function(framing, request, n);
        response = build_slave_exception(slave_profile_of(framing), request, n, unsigned(fn < 0 ? 0 : fn),
                                         options.exceptionCode);
        out.forced = true;
        out.lines.push_back(strformat("Forced exception %02X", unsigned(options.exceptionCode)));
    }
    if (options.corruptChecksum) {
        invert_checksum(framing, response, out.corrupted);
        if (out.corrupted)
            out.lines.push_back("Checksum corrupted");
    }
    if (options.delayMs > 0) {
        out.delayMs = options.delayMs;
        out.lines.push_back(strformat("Delayed %d ms", options.delayMs));
    }
    return out;
}
