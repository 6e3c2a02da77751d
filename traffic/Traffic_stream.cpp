#include "Traffic_stream.h"

#include <cerrno>
#include <cstring>

#include "Pcap_writer.h"
#include "Traffic_csv.h"

Traffic_stream::Traffic_stream(Format format, Traffic_framing framing, const std::string &path)
    : format_(format), path_(path)
{
    if (format == Format::Pcap && framing != Traffic_framing::Rtu) {
        error_ = "only RTU traffic can be written as a capture while it happens";
        return;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        fail(errno);
        return;
    }
    put(format == Format::Csv ? std::string(kTrafficCsvHeader) : pcap_file_header(kLinktypeUser0));
}

Traffic_stream::~Traffic_stream()
{
    if (file_)
        std::fclose(file_);
}

void Traffic_stream::fail(int error)
{
    error_ = "Cannot write \"" + path_ + "\": " + std::strerror(error);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

void Traffic_stream::put(const std::string &bytes)
{
    if (!file_)
        return;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() || std::fflush(file_) != 0)
        fail(errno ? errno : EIO);
}

void Traffic_stream::add(const Traffic_history &history, const Traffic_event &e)
{
    if (!file_)
        return;
    if (format_ == Format::Csv) {
        put(traffic_csv_line(history, e));
    } else {
        if (e.direction == Traffic_direction::Event)
            return;
        // One write for the record, so that a kill cannot leave a header
        // without its packet in the system's hands.
        put(pcap_record_header(e.time_ms, e.data.size(), e.length) + e.data);
    }
    if (file_)
        ++written_;
}
