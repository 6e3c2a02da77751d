#include "Replaced_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolved(const std::string &path)
{
    // A symlink named as the target stays a symlink: the file it points to is
    // the one replaced.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr)
        return path;
    return real;
}

// Opens a new file of a unique name in FOLDER: O_EXCL refuses any name that
// exists, a planted symlink included. The mode 0666 lets the umask decide, as
// for any new file.
int open_unique(const std::string &target, std::string &name)
{
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long r = 0;
        if (FILE *u = std::fopen("/dev/urandom", "rb")) {
            if (std::fread(&r, sizeof r, 1, u) != 1)
                r = 0;
            std::fclose(u);
        }
        name = folder + "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
               std::to_string(r % 1000000007UL) + ".tmp";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

Replaced_file::Replaced_file(std::string path) : path_(std::move(path)), target_(resolved(path_))
{
    struct stat st;
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_ = EISDIR;
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            file_ = std::fopen(target_.c_str(), "wb");
            if (file_ == nullptr)
                error_ = errno ? errno : EIO;
            return;
        }
        has_old_ = true;
        old_mode_ = st.st_mode & 07777;
    }
    const int fd = open_unique(target_, temp_);
    if (fd < 0) {
        error_ = errno ? errno : EIO;
        temp_.clear();
        return;
    }
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        error_ = errno ? errno : EIO;
        ::close(fd);
        abandon();
    }
}

Replaced_file::~Replaced_file()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    abandon();
}

void Replaced_file::abandon()
{
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

void Replaced_file::write(const void *data, size_t n)
{
    if (error_ != 0 || n == 0 || file_ == nullptr)
        return;
    errno = 0;
    if (std::fwrite(data, 1, n, file_) != n)
        error_ = errno ? errno : EIO;
}

int Replaced_file::commit()
{
    if (file_ == nullptr)
        return error_ ? error_ : EBADF;
    // Buffered bytes meet a full disk only now; fsync makes a rename after a
    // crash find the new bytes, never an empty file.
    errno = 0;
    if (error_ == 0 && std::fflush(file_) != 0)
        error_ = errno ? errno : EIO;
    if (error_ == 0 && !temp_.empty()) {
        if (::fsync(::fileno(file_)) != 0)
            error_ = errno ? errno : EIO;
        else if (has_old_ && ::fchmod(::fileno(file_), old_mode_) != 0)
            error_ = errno ? errno : EIO;
    }
    errno = 0;
    if (std::fclose(file_) != 0 && error_ == 0)
        error_ = errno ? errno : EIO;
    file_ = nullptr;
    if (error_ == 0 && !temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            error_ = errno ? errno : EIO;
        } else {
            temp_.clear();
            // The rename itself reaches the disk with the folder.
            const int dir = ::open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
        }
    }
    abandon();
    return error_;
}

std::string replaceable_problem(const std::string &path)
{
    if (path.empty())
        return "no file name";
    const std::string target = resolved(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return std::strerror(EISDIR);
        if (!S_ISREG(st.st_mode))
            return ::access(target.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    } else if (errno != ENOENT) {
        return std::strerror(errno);
    }
    // A new file, or the old one replaced, needs a folder we may write into.
    const std::string folder = folder_of(target);
    if (::stat(folder.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return std::strerror(ENOTDIR);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return {};
}
