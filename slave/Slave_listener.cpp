#include "Slave_listener.h"

#include <algorithm>

#include "Line_mirror.h"

namespace {

Traffic_heard heard_as(Monitor_role role)
{
    switch (role) {
    case Monitor_role::Request: return Traffic_heard::Request;
    case Monitor_role::Answer: return Traffic_heard::Answer;
    case Monitor_role::Unknown: break;
    }
    return Traffic_heard::Unknown;
}

int kind_of(Mirror_table table)
{
    switch (table) {
    case Mirror_table::Coils: return KindCoil;
    case Mirror_table::Discrete_inputs: return KindInputRelay;
    case Mirror_table::Input_registers: return KindInputRegister;
    case Mirror_table::Holding_registers: break;
    }
    return KindHoldingRegister;
}

Traffic_framing traffic_framing(Line_framing framing)
{
    return framing == Line_framing::Ascii ? Traffic_framing::Ascii : Traffic_framing::Rtu;
}

}  // namespace

Traffic_info heard_info(const Monitor_frame &frame)
{
    Traffic_info info;
    info.heard = heard_as(frame.role);
    if (frame.response_us >= 0)
        info.response_ms = int32_t(std::min<int64_t>((frame.response_us + 500) / 1000, INT32_MAX));
    return info;
}

std::string noise_text(size_t bytes)
{
    return "noise, " + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

void apply_mirror_write(SlaveTables &t, const Mirror_write &w, const Entry_written &written)
{
    const int kind = kind_of(w.table);
    for (size_t i = 0; i < w.values.size() && w.address + i < size_t(kSlaveEntries); ++i) {
        const auto n = uint16_t(w.address + i);
        const uint16_t v = w.values[i];
        switch (kind) {
        case KindCoil: t.WriteCoil(n, v); break;
        case KindInputRelay: t.WriteInputRelay(n, v); break;
        case KindInputRegister: t.inputRegisters[n] = v; break;
        default: t.holdingRegisters[n] = v; break;
        }
        if (written)
            written(kind, n);
    }
}

SlaveListener::SlaveListener(Line_settings settings, Station_traffic &traffic, SlaveTables &tables,
                             const UnitFilter &units, Entry_written written)
    : traffic_(traffic), tables_(tables), units_(units), written_(std::move(written)),
      monitor_(settings, [this](const Monitor_frame &f) { frame(f); }, [this](const Monitor_noise &n) { noise(n); })
{
}

void SlaveListener::idle(int64_t nowUs)
{
    const int64_t due = monitor_.wake_at_us();
    if (due >= 0 && nowUs >= due)
        monitor_.idle(nowUs);
}

Monitor_counters SlaveListener::counters() const
{
    const Monitor_counters &c = monitor_.counters();
    return {.frames = c.frames - base_.frames,
            .req = c.req - base_.req,
            .ans = c.ans - base_.ans,
            .exc = c.exc - base_.exc,
            .err = c.err - base_.err,
            .unans = c.unans - base_.unans,
            .noise = c.noise - base_.noise};
}

void SlaveListener::frame(const Monitor_frame &f)
{
    if (!units_.allows(f.fields.unit))
        return;
    traffic_.history().add_frame(Traffic_direction::Rx, f.bytes.data(), f.bytes.size(), heard_info(f));
    // As for any frame a serial station receives: what its checksum should have been.
    if (!f.checksum_ok)
        if (std::string fault = checksum_fault(traffic_framing(monitor_.settings().framing), f.bytes.data(),
                                               f.bytes.size());
            !fault.empty())
            traffic_.event(std::move(fault));
    if (f.role == Monitor_role::Answer && f.request_number != 0)
        for (const Mirror_write &w : mirror_writes(f.request, f.fields))
            apply_mirror_write(tables_, w, written_);
}

void SlaveListener::noise(const Monitor_noise &n)
{
    traffic_.event(noise_text(n.bytes.size()), traffic_.link(),
                   std::string_view(reinterpret_cast<const char *>(n.bytes.data()), n.bytes.size()));
}
