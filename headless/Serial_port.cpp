#include "Serial_port.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

#include "corvane.h"

namespace {

// The link library reports through message boxes; here they become the
// reason an open failed.
std::mutex g_messageMutex;
std::string g_lastMessage;

void keep_message(const char *text, const char *, void *)
{
    std::lock_guard<std::mutex> lock(g_messageMutex);
    g_lastMessage = text ? text : "";
}

}  // namespace

std::string serial_port_device(int port)
{
    const std::string name = "CORVANE_COM" + std::to_string(port);
    if (const char *env = std::getenv(name.c_str()); env && *env)
        return env;
    return "/dev/ttyS" + std::to_string(port - 1);
}

std::string open_serial_port(SerialLink &link, int port, int baud, char parity, int dataBits, int stopBits)
{
    // The library says only that a port could not be opened; trying the
    // device first gives the system's reason.
    const std::string device = serial_port_device(port);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    if (!isatty(fd)) {
        ::close(fd);
        return std::strerror(ENOTTY);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        return std::string("in use by another program (") + std::strerror(e) + ")";
    }
    ::close(fd);

    corvane_set_message_handler(keep_message, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_messageMutex);
        g_lastMessage.clear();
    }
    if (link.open(port, baud, parity, dataBits, stopBits, 0) != 1) {
        std::lock_guard<std::mutex> lock(g_messageMutex);
        return g_lastMessage.empty() ? "the link library could not open it" : g_lastMessage;
    }
    return {};
}
