// A file that replaces another only once it is whole.
//
// The bytes go to a new file of a unique name beside the target, created
// exclusively (a name planted there beforehand, symlink or not, is never
// followed). commit() flushes it to the disk and renames it over the target,
// keeping the old file's permissions; until then, and after any failure, the
// old file stays as it was and the temporary file is removed.
//
// A target that exists and is not a regular file (a device such as /dev/null,
// a pipe) cannot be renamed over: it is written directly, as before.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

class Replaced_file {
public:
    explicit Replaced_file(std::string path);
    ~Replaced_file();
    Replaced_file(const Replaced_file &) = delete;
    Replaced_file &operator=(const Replaced_file &) = delete;

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }  // errno of the first failure, 0 if none
    const std::string &path() const { return path_; }

    void write(const void *data, size_t n);
    void write(std::string_view text) { write(text.data(), text.size()); }
    // Makes the written bytes the target's. Returns 0, or the errno of the
    // first failure (the target then keeps its old content).
    int commit();

private:
    void abandon();

    std::string path_;    // the target as named
    std::string target_;  // where the bytes go in the end (a symlink's target)
    std::string temp_;    // the temporary name; empty when writing in place
    std::FILE *file_ = nullptr;
    int error_ = 0;
    bool has_old_ = false;
    unsigned old_mode_ = 0;
};

// Empty when PATH can be created or replaced by a Replaced_file; otherwise
// the reason, such as "is a directory" or strerror's text.
std::string replaceable_problem(const std::string &path);
