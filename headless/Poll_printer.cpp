#include "Poll_printer.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Engineering_value.h"
#include "Poll_wait.h"
#include "Value_log.h"
#include "Wall_time.h"

namespace {

std::string json_string(const std::string &s) { return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string trimmed(const std::string &s)
{
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos)
        return {};
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

template <typename T>
std::string json_list(const std::vector<T> &v)
{
    std::string t = "[";
    for (size_t i = 0; i < v.size(); ++i)
        t += (i ? "," : "") + std::to_string(unsigned(v[i]));
    return t + "]";
}

// Printable bytes as they are, the others as dots: a report id's text part.
std::string printable(const std::vector<uint8_t> &bytes)
{
    std::string t;
    for (uint8_t b : bytes)
        t += b >= 0x20 && b < 0x7F ? char(b) : '.';
    return t;
}

std::string hex_text(const std::vector<uint8_t> &bytes)
{
    std::string t;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%s%02X", i ? " " : "", unsigned(bytes[i]));
        t += two;
    }
    return t;
}

}  // namespace

std::string json_number(const std::string &text)
{
    // engineering_text writes decimal numbers, "NaN", "Inf" and "-Inf".
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos)
        return "null";
    return text;
}

Poll_printer::Poll_printer(Poll_output kind, std::FILE *out, const Poll_plan &plan)
    : kind_(kind), out_(out), plan_(plan)
{
}

void Poll_printer::line(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
}

std::string Poll_printer::jsonHead(int64_t timeMs, int unit, const char *request) const
{
    std::string t = "{\"time\":\"" + iso_time_text(timeMs) + "\",\"unit\":" + std::to_string(unit);
    if (request)
        t += std::string(",\"request\":\"") + request + "\"";
    return t;
}

void Poll_printer::begin()
{
    if (kind_ == Poll_output::Csv) {
        const std::string header = Value_log::header(plan_.entries);
        std::fwrite(header.data(), 1, header.size(), out_);
        std::fflush(out_);
    }
}

std::string Poll_printer::valueText(size_t i, const Entry_reading &r) const
{
    const Map_entry &e = plan_.entries[i];
    if (plan_.mapped[i] || e.is_bit())
        return engineering_text(e, r.value);
    return trimmed(decode_value(e.format, std::span<const uint16_t>(r.raw.data(), size_t(r.raw_count))));
}

void Poll_printer::read(int64_t timeMs, const Poll_job &job, const std::vector<Entry_reading> &readings,
                        const std::string &status)
{
    if (kind_ == Poll_output::Csv)
        return;
    const bool ok = status == "ok";
    const char *request = job.kind == Poll_step::ReadWrite ? "read-write" : nullptr;
    for (int i : job.block.entries) {
        const Map_entry &e = plan_.entries[size_t(i)];
        const Entry_reading &r = readings[size_t(i)];
        const bool mapped = plan_.mapped[size_t(i)];
        if (kind_ == Poll_output::Text) {
            std::string t = e.address();
            if (mapped)
                t += "  " + e.name;
            t += "  " + (ok ? valueText(size_t(i), r) : status);
            if (ok && !e.unit.empty())
                t += " " + e.unit;
            line(t);
            continue;
        }
        std::string t = jsonHead(timeMs, e.device, request);
        // The address as a number: leading zeros (coils) are no JSON.
        t += ",\"address\":" + std::to_string(std::strtol(e.address().c_str(), nullptr, 10));
        if (mapped)
            t += ",\"name\":" + json_string(e.name);
        if (ok) {
            std::vector<uint16_t> raw(r.raw.begin(), r.raw.begin() + r.raw_count);
            t += ",\"raw\":" + json_list(raw) + ",\"value\":" + json_number(engineering_text(e, r.value));
        } else {
            t += ",\"raw\":null,\"value\":null";
        }
        t += ",\"status\":" + json_string(status) + "}";
        line(t);
    }
}

void Poll_printer::write(int64_t timeMs, const Poll_job &job, const std::string &status)
{
    const bool ok = status == "ok";
    if (kind_ == Poll_output::Csv) {
        if (!ok)
            std::fprintf(stderr, "quillan-poll: %s: %s\n", job.given.c_str(), status.c_str());
        return;
    }
    if (kind_ == Poll_output::Text) {
        std::string t = job.address;
        if (job.entry)
            t += "  " + job.entry->name;
        t += "  " + job.valueText;
        if (job.entry && !job.entry->unit.empty())
            t += " " + job.entry->unit;
        t += "  " + (ok ? std::string("written") : status);
        line(t);
        return;
    }
    const Poll_request &q = job.request;
    std::vector<uint16_t> raw = q.words;
    if (q.function == 5 || q.function == 6)
        raw = {q.value};
    else if (q.function == 15)
        raw.assign(q.bits.begin(), q.bits.end());
    std::string t = jsonHead(timeMs, q.unit, "write") + ",\"address\":" + std::to_string(job.number);
    if (job.entry)
        t += ",\"name\":" + json_string(job.entry->name);
    t += ",\"raw\":" + json_list(raw);
    if (job.entry)
        t += ",\"value\":" + json_number(engineering_text(*job.entry, job.value));
    t += ",\"status\":" + json_string(status) + "}";
    line(t);
}

void Poll_printer::mask(int64_t timeMs, const Poll_job &job, const std::string &status)
{
    const bool ok = status == "ok";
    if (kind_ == Poll_output::Csv) {
        if (!ok)
            std::fprintf(stderr, "quillan-poll: %s: %s\n", job.given.c_str(), status.c_str());
        return;
    }
    char masks[48];
    std::snprintf(masks, sizeof masks, "AND 0x%04X OR 0x%04X", unsigned(job.andMask), unsigned(job.orMask));
    if (kind_ == Poll_output::Text) {
        line(job.address + "  " + masks + "  " + (ok ? std::string("written") : status));
        return;
    }
    line(jsonHead(timeMs, job.request.unit, "mask-write") + ",\"address\":" + std::to_string(job.number) +
         ",\"and\":" + std::to_string(job.andMask) + ",\"or\":" + std::to_string(job.orMask) +
         ",\"status\":" + json_string(status) + "}");
}

void Poll_printer::identity(int64_t timeMs, int unit, const std::vector<Identity_object> &objects,
                            const std::string &status)
{
    if (kind_ == Poll_output::Text) {
        for (const Identity_object &o : objects)
            line(identity_object_name(o.id) + "  " + o.value);
        if (status != "ok" || objects.empty())
            line("identify  " + status);
        return;
    }
    for (const Identity_object &o : objects)
        line(jsonHead(timeMs, unit, "identify") + ",\"object\":" + std::to_string(o.id) +
             ",\"name\":" + json_string(identity_object_name(o.id)) + ",\"value\":" + json_string(o.value) +
             ",\"status\":\"ok\"}");
    if (status != "ok" || objects.empty())
        line(jsonHead(timeMs, unit, "identify") + ",\"status\":" + json_string(status) + "}");
}

void Poll_printer::report(int64_t timeMs, int unit, const std::vector<uint8_t> &bytes, const std::string &status)
{
    const bool ok = status == "ok";
    if (kind_ == Poll_output::Text) {
        line(ok ? "report-id  " + hex_text(bytes) + "  \"" + printable(bytes) + "\"" : "report-id  " + status);
        return;
    }
    std::string t = jsonHead(timeMs, unit, "report-id");
    t += ok ? ",\"raw\":" + json_list(bytes) + ",\"value\":" + json_string(printable(bytes)) : ",\"raw\":null,\"value\":null";
    line(t + ",\"status\":" + json_string(status) + "}");
}

void Poll_printer::found(int64_t timeMs, int unit, const std::string &status, int64_t responseMs,
                         const std::vector<std::string> &values, const std::vector<Identity_object> *identity)
{
    if (kind_ == Poll_output::Text) {
        std::string t = "unit " + std::to_string(unit) + "  " + status + "  " + std::to_string(responseMs) + " ms";
        for (const std::string &v : values)
            t += "  " + v;
        if (identity)
            for (const Identity_object &o : *identity)
                t += "  " + o.value;
        line(t);
        return;
    }
    std::string t = jsonHead(timeMs, unit, "scan") + ",\"status\":" + json_string(status) +
                    ",\"ms\":" + std::to_string(responseMs) + ",\"values\":[";
    for (size_t i = 0; i < values.size(); ++i)
        t += (i ? "," : "") + json_string(values[i]);
    t += "]";
    if (identity) {
        t += ",\"identity\":{";
        for (size_t i = 0; i < identity->size(); ++i)
            t += (i ? "," : "") + json_string(identity_object_name((*identity)[i].id)) + ":" +
                 json_string((*identity)[i].value);
        t += "}";
    }
    line(t + "}");
}

bool Poll_printer::end(int64_t timeMs, const std::vector<Entry_reading> &readings)
{
    if (kind_ == Poll_output::Csv) {
        const std::string l = Value_log::line(timeMs, plan_.entries, readings);
        std::fwrite(l.data(), 1, l.size(), out_);
    }
    if ((std::fflush(out_) != 0 || std::ferror(out_)) && !failed_) {
        failed_ = true;
        // A stop signal that cut a stuck write short is no output failure.
        if (!stop_requested())
            std::fprintf(stderr, "quillan-poll: standard output: %s\n", std::strerror(errno));
    }
    return !failed_;
}
