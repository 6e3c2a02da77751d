#include "Traffic_file.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

Traffic_file::Traffic_file(std::string path) : path_(std::move(path))
{
    file_ = std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr)
        error_ = errno ? errno : EIO;
}

Traffic_file::~Traffic_file()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        ::unlink(path_.c_str());  // finish() was never called: the file is not whole
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
            ::unlink(path_.c_str());
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
