#include "Value_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "Csv_text.h"
#include "Engineering_value.h"
#include "Wall_time.h"

namespace {

bool failed_status(Read_status s)
{
    return s == Read_status::Exception || s == Read_status::Timeout || s == Read_status::CrcError;
}

}  // namespace

Value_log::~Value_log() { close(); }

std::string Value_log::header(std::span<const Map_entry> entries)
{
    std::string line = "time";
    for (const Map_entry &e : entries) {
        line += ',';
        line += csv_field(e.unit.empty() ? e.name : e.name + " [" + e.unit + "]");
    }
    line += ",errors\r\n";
    return line;
}

std::string Value_log::open(const std::string &path, std::span<const Map_entry> entries)
{
    close();
    error_.clear();
    label_ = std::filesystem::path(path).filename().string();
    // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return label_ + ": " + std::strerror(errno);
    auto refuse = [&](const std::string &why) {
        ::close(fd);
        return label_ + ": " + why;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return refuse("not a regular file");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return refuse(std::strerror(errno));

    const std::string head = header(entries);
    std::string start;
    if (st.st_size == 0) {
        start = head;
    } else {
        // Continue only a log of the same columns.
        std::string first(head.size(), '\0');
        const ssize_t n = ::pread(fd, first.data(), first.size(), 0);
        if (n < 0)
            return refuse(std::strerror(errno));
        if (size_t(n) != head.size() || first != head)
            return refuse("holds other columns");
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) != 1)
            return refuse(std::strerror(errno));
        if (last != '\n')
            start = "\r\n";  // a line left unfinished by someone else
    }
    fd_ = fd;
    columns_ = entries.size();
    if (!start.empty() && !write_all(start)) {
        const std::string why = error_;
        error_.clear();
        return why;
    }
    return {};
}

bool Value_log::write_all(const std::string &bytes)
{
    const off_t before = ::lseek(fd_, 0, SEEK_END);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = label_ + ": " + std::strerror(n < 0 ? errno : EIO);
            // A line cut short would spoil the file for the reader; the
            // lines before it stay.
            if (done > 0 && before >= 0 && ::ftruncate(fd_, before) != 0) {
                // Nothing more can be done: the error above is the one shown.
            }
            close();
            return false;
        }
        done += size_t(n);
    }
    return true;
}

Value_log::Result Value_log::write_cycle(int64_t time_ms, std::span<const Map_entry> entries,
                                         std::span<const Entry_reading> readings)
{
    if (fd_ < 0)
        return Result::Stopped;
    return write_all(cycle_line(time_ms, entries, readings, columns_)) ? Result::Written : Result::Failed;
}

std::string Value_log::line(int64_t time_ms, std::span<const Map_entry> entries,
                            std::span<const Entry_reading> readings)
{
    return cycle_line(time_ms, entries, readings, entries.size());
}

std::string Value_log::cycle_line(int64_t time_ms, std::span<const Map_entry> entries,
                                  std::span<const Entry_reading> readings, size_t columns)
{
    std::string line = iso_time_text(time_ms);
    std::string errors;
    for (size_t i = 0; i < columns; ++i) {
        line += ',';
        if (i >= entries.size() || i >= readings.size())
            continue;
        const Entry_reading &r = readings[i];
        if (r.fresh)
            line += csv_field(engineering_text(entries[i], r.value));
        else if (failed_status(r.status))
            errors += (errors.empty() ? "" : " ") + entries[i].name;
    }
    line += ',';
    line += csv_field(errors);
    line += "\r\n";
    return line;
}

void Value_log::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
