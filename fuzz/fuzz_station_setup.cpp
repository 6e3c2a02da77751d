// The station setup reader on any text, with a schema of every value type.
// Refused with a message naming the file and the setup left as it was, or
// read; what was read writes back to a text that reads to the same.
#include <cstdint>
#include <string>
#include <string_view>

#include "Station_setup.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

Setup_schema schema()
{
    return {.kind = "Master TCP",
            .keys = {{.name = "host", .fallback = std::string("127.0.0.1"), .max_length = 255},
                     {.name = "port", .fallback = int64_t(502), .low = 1, .high = 65535},
                     {.name = "timeout", .fallback = 1.0, .low = 0.01, .high = 60},
                     {.name = "watch", .fallback = false},
                     {.name = "parity", .fallback = std::string("None"), .choices = {"None", "Odd", "Even"}},
                     {.name = "plot", .fallback = Setup_texts{}, .max_items = 8}}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Setup_schema kSchema = schema();
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Station_setup setup(kSchema);
    check(setup.set("port", int64_t(600)).empty());
    const std::string before = setup.to_json();
    const std::string error = setup.from_json(text, "plc.qsetup");
    if (!error.empty()) {
        check(error.starts_with("plc.qsetup: ") && setup.to_json() == before);
        return 0;
    }
    const std::string saved = setup.to_json();
    Station_setup back(kSchema);
    check(back.from_json(saved, "plc.qsetup").empty());
    check(back.to_json() == saved);
    return 0;
}
