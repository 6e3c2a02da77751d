// A traffic file written while the traffic happens: CSV or an RTU capture in
// the layouts the saves write (Traffic_csv, Pcap_writer), each entry added
// and flushed to the system as it comes, so a program that is killed or
// crashes loses at most the entry it was writing. Unlike a save, the file is
// written in place from the start.
#pragma once

#include <cstdio>
#include <string>

#include "Traffic_history.h"

class Traffic_stream {
public:
    enum class Format { Csv, Pcap };

    // Creates (or empties) path and writes the header. A capture takes RTU
    // frames only (ASCII has no dissector; TCP needs the saves' connection
    // bookkeeping): any other framing is refused.
    Traffic_stream(Format format, Traffic_framing framing, const std::string &path);
    ~Traffic_stream();
    Traffic_stream(const Traffic_stream &) = delete;
    Traffic_stream &operator=(const Traffic_stream &) = delete;

    // False once anything failed; error() then says why ("Cannot write
    // "x.pcap": No space left on device"), and nothing more is written.
    bool ok() const { return file_ != nullptr; }
    const std::string &error() const { return error_; }

    // An entry of history (its formatter for the note): a capture leaves
    // "--" entries out.
    void add(const Traffic_history &history, const Traffic_event &e);
    size_t written() const { return written_; }

private:
    void put(const std::string &bytes);
    void fail(int error);

    Format format_;
    std::string path_;
    FILE *file_ = nullptr;
    std::string error_;
    size_t written_ = 0;
};
