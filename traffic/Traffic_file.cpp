#include "Traffic_file.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

Traffic_file::Traffic_file(std::string path) : path_(std::move(path))
{
    file_ = std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr) {
        error_ = errno ? errno : EIO;
        return;
    }
    struct stat st;
    regular_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
}

void Traffic_file::discard()
{
    // Only a file of ours goes: a name may as well be a device (/dev/full)
    // or a pipe, which must stay.
    if (regular_)
        ::unlink(path_.c_str());
}

Traffic_file::~Traffic_file()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        discard();  // finish() was never called: the file is not whole
    }
}

void Traffic_file::write(const void *data, size_t n)
{
    if (error_ != 0 || n == 0)
        return;
    errno = 0;
    if (std::fwrite(data, 1, n, file_) != n)
        error_ = errno ? errno : EIO;
}

Save_result Traffic_file::finish(size_t written, std::string remark)
{
    Save_result result;
    if (file_ != nullptr) {
        // Buffered bytes meet a full disk only now.
        errno = 0;
        if (std::fclose(file_) != 0 && error_ == 0)
            error_ = errno ? errno : EIO;
        file_ = nullptr;
        if (error_ != 0)
            discard();
    }
    if (error_ != 0) {
        result.error = "Cannot write \"" + path_ + "\": " + std::strerror(error_);
        return result;
    }
    result.ok = true;
    result.written = written;
    result.remark = std::move(remark);
    return result;
}
