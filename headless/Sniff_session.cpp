#include "Sniff_session.h"

#include <cstdio>

#include "Line_mirror.h"
#include "Slave_listener.h"
#include "Table_csv.h"

namespace {

Line_settings monitor_settings(const SniffOptions &o)
{
    return {.framing = o.device.mode == SerialMode::Rtu ? Line_framing::Rtu : Line_framing::Ascii,
            .baud = o.line.baud,
            .bits_per_char = serial_bits_per_char(o.line.dataBits, o.line.parity, o.line.stopBits)};
}

std::string ms_text(int64_t us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", double(us) / 1000.0);
    return text;
}

}  // namespace

SniffSession::SniffSession(const SniffOptions &options, FILE *log, Traffic_stream *pcap, Traffic_stream *csv,
                           int64_t monotonicStartUs, int64_t wallStartMs)
    : options_(options), log_(log), pcap_(pcap), csv_(csv), monotonicStartUs_(monotonicStartUs),
      wallStartMs_(wallStartMs),
      format_(options.device.mode == SerialMode::Rtu ? Traffic_framing::Rtu : Traffic_framing::Ascii,
              Traffic_side::Slave, [this] { return entryWallMs_; }, 1),
      monitor_(monitor_settings(options), [this](const Monitor_frame &f) { frame(f); },
               [this](const Monitor_noise &n) { noise(n); })
{
}

void SniffSession::record(Traffic_direction direction, const std::vector<uint8_t> &bytes, Traffic_info info,
                          int64_t atUs)
{
    entryWallMs_ = wallMs(atUs);
    if (direction == Traffic_direction::Event)
        format_.add_event(std::move(info.text), {},
                          std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
    else
        format_.add_frame(direction, bytes.data(), bytes.size(), std::move(info));
    const Traffic_event &e = format_.at(0);
    if (log_) {
        const std::string line = format_.line(e) + "\n";
        std::fwrite(line.data(), 1, line.size(), log_);
        std::fflush(log_);
    }
    for (Traffic_stream *s : {pcap_, csv_})
        if (s)
            s->add(format_, e);
}

void SniffSession::frame(const Monitor_frame &f)
{
    const unsigned unit = f.fields.unit;
    if (!options_.unitFilter.allows(unit))
        return;
    record(Traffic_direction::Rx, f.bytes, heard_info(f), f.time_us);

    if (f.role == Monitor_role::Request) {
        ++units_[unit].requests;
    } else if (f.role == Monitor_role::Answer) {
        UnitFigures &u = units_[unit];
        ++u.answers;
        SlaveTables &tables = tables_[unit];
        if (f.request_number == 0)
            return;
        ++u.timed;
        u.minUs = std::min(u.minUs, f.response_us);
        u.maxUs = std::max(u.maxUs, f.response_us);
        u.sumUs += f.response_us;
        for (const Mirror_write &w : mirror_writes(f.request, f.fields))
            apply_mirror_write(tables, w);
    }
}

void SniffSession::noise(const Monitor_noise &n)
{
    Traffic_info info;
    info.text = noise_text(n.bytes.size());
    record(Traffic_direction::Event, n.bytes, std::move(info), n.time_us);
}

std::string SniffSession::summary() const
{
    const Monitor_counters &c = monitor_.counters();
    std::string out = "frames " + std::to_string(c.frames) + ", requests " + std::to_string(c.req) + ", answers " +
                      std::to_string(c.ans) + ", exceptions " + std::to_string(c.exc) + ", CRC errors " +
                      std::to_string(c.err) + ", unanswered " + std::to_string(c.unans) + ", noise bytes " +
                      std::to_string(c.noise) + "\n";
    for (const auto &[unit, u] : units_) {
        out += "unit " + std::to_string(unit) + ": requests " + std::to_string(u.requests) + ", answers " +
               std::to_string(u.answers);
        if (u.timed > 0)
            out += ", response min " + ms_text(u.minUs) + ", avg " + ms_text(u.sumUs / int64_t(u.timed)) +
                   ", max " + ms_text(u.maxUs);
        out += "\n";
    }
    return out;
}

const SlaveTables *SniffSession::tables(unsigned unit) const
{
    const auto it = tables_.find(unit);
    return it == tables_.end() ? nullptr : &it->second;
}

std::string SniffSession::save(const std::string &path) const
{
    if (tables_.size() <= 1)
        return save_tables_csv_file(path, tables_.empty() ? SlaveTables{} : tables_.begin()->second);
    for (const auto &[unit, t] : tables_)
        if (std::string problem = save_tables_csv_file(unit_save_file(path, unit), t); !problem.empty())
            return problem;
    return {};
}
