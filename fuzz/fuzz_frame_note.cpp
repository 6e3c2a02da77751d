// The traffic history's decoding and line of any bytes, for every framing
// and side: reads only the bytes it is given, every line stays one line, and
// the length the history keeps for sizing a view is the line's.
#include <cstdint>
#include <string_view>

#include "Traffic_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const auto framing = Traffic_framing(data[0] % 3);
    const auto side = (data[0] >> 2) & 1 ? Traffic_side::Slave : Traffic_side::Master;
    const auto direction = (data[0] >> 3) & 1 ? Traffic_direction::Rx : Traffic_direction::Tx;
    Traffic_history history(framing, side, [] { return int64_t(0); }, 2);
    history.add_frame(direction, std::string_view(reinterpret_cast<const char *>(data + 1), size - 1));
    const std::string line = history.line(history.at(0));
    if (line.find_first_of("\r\n") != std::string::npos || history.longest_line() != line.size())
        __builtin_trap();
    return 0;
}
