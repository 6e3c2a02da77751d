#include "Udp_message.h"

namespace {

constexpr size_t kMinMessage = 8;
constexpr size_t kMaxMessage = 260;

}  // namespace

Udp_message udp_message_check(const uint8_t *data, size_t n)
{
    if (n < kMinMessage || data == nullptr)
        return Udp_message::Short;
    if (n > kMaxMessage)
        return Udp_message::Long;
    if ((size_t(data[4]) << 8 | data[5]) != n - 6)
        return Udp_message::Bad_length;
    return Udp_message::Whole;
}

std::string udp_refusal_text(Udp_message why, size_t n)
{
    const char *reason = "";
    switch (why) {
    case Udp_message::Whole: return {};
    case Udp_message::Short: reason = "fewer than 8 bytes"; break;
    case Udp_message::Long: reason = "more than 260 bytes"; break;
    case Udp_message::Bad_length: reason = "its length field is not the bytes that follow it"; break;
    }
    return "UDP datagram of " + std::to_string(n) + (n == 1 ? " byte" : " bytes") + " refused: " + reason;
}
