// Writing one file of saved traffic: every failure is kept with the system's
// reason. The file replaces one of the same name only once it is whole, so a
// failed save (a full disk) leaves yesterday's capture as it was.
#pragma once

#include "Replaced_file.h"

#include <cstddef>
#include <string>
#include <string_view>

struct Save_result {
    bool ok = false;
    std::string error;   // why the file was not written: 'Cannot write "x.pcap": No space left on device'
    size_t written = 0;  // entries in the file
    std::string remark;  // what a written file leaves out, and why; empty when nothing
};

class Traffic_file {
public:
    explicit Traffic_file(std::string path) : file_(std::move(path)) {}

    bool ok() const { return file_.ok(); }
    void write(const void *data, size_t n) { file_.write(data, n); }
    void write(std::string_view text) { file_.write(text); }
    // Puts the file in place; on any failure the old file stays and
    // result.error says why.
    Save_result finish(size_t written, std::string remark = {});

private:
    Replaced_file file_;
};
