#include "Small_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string read_small_file(const std::string &path, size_t max_bytes, std::string &text)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    std::string problem;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = "not a regular file";
    } else {
        // One byte more than allowed tells a file that is too large, even
        // one that grew since fstat().
        std::string bytes(max_bytes + 1, '\0');
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                problem = std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            got += size_t(n);
        }
        if (problem.empty() && got > max_bytes)
            problem = "larger than " + std::to_string(max_bytes) + " bytes";
        if (problem.empty()) {
            bytes.resize(got);
            text = std::move(bytes);
        }
    }
    ::close(fd);
    return problem;
}
