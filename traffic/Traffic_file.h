// Writing one file of saved traffic: every failure is kept with the system's
// reason, and a file that could not be written whole is removed again, so a
// half-written file is never taken for a whole one.
#pragma once

#include <cstddef>
#include <cstdio>
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
    explicit Traffic_file(std::string path);
    ~Traffic_file();
    Traffic_file(const Traffic_file &) = delete;
    Traffic_file &operator=(const Traffic_file &) = delete;

    bool ok() const { return error_ == 0; }
    void write(const void *data, size_t n);
    void write(std::string_view text) { write(text.data(), text.size()); }
    // Closes the file; on any failure removes it and fills result.error.
    Save_result finish(size_t written, std::string remark = {});

private:
    void discard();

    std::string path_;
    std::FILE *file_ = nullptr;
    int error_ = 0;  // errno of the first failure
    bool regular_ = false;  // the name is a regular file, which a failure removes
};
