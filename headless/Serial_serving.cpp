#include "Serial_serving.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

#include "Serial_link.h"
#include "corvane.h"

namespace {

// Answers held back by --delay on one line; beyond this the oldest goes out
// early rather than memory growing.
constexpr size_t kPendingMax = 4096;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

SerialServing::SerialServing(SlaveService &service, const SerialEndpoint &endpoint, const LineSettings &line,
                             int port)
    : service_(service), endpoint_(endpoint), line_(line), port_(port)
{
}

SerialServing::~SerialServing() { stop(); }

std::string SerialServing::describe() const
{
    return std::string(endpoint_.mode == SerialMode::Rtu ? "RTU on " : "ASCII on ") + endpoint_.device + " (" +
           std::to_string(line_.baud) + " " + line_.parity + " " + std::to_string(line_.dataBits) + " " +
           std::to_string(line_.stopBits) + ")";
}

bool SerialServing::open(std::string *reason)
{
    open_ = open_serial_port(port_, line_, reason);
    return open_;
}

bool open_serial_port(int port, const LineSettings &line, std::string *reason)
{
    // The library says only that a port could not be opened; trying the
    // device first gives the system's reason.
    const std::string device = serial_port_device(port);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    if (!isatty(fd)) {
        ::close(fd);
        *reason = std::strerror(ENOTTY);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        *reason = std::string("in use by another program (") + std::strerror(e) + ")";
        return false;
    }
    ::close(fd);

    corvane_set_message_handler(keep_message, nullptr);
    {
        std::lock_guard<std::mutex> lock(g_messageMutex);
        g_lastMessage.clear();
    }
    if (default_serial_link().open(port, line.baud, line.parity, line.dataBits, line.stopBits, 0) != 1) {
        std::lock_guard<std::mutex> lock(g_messageMutex);
        *reason = g_lastMessage.empty() ? "the link library could not open it" : g_lastMessage;
        return false;
    }
    return true;
}

void SerialServing::start()
{
    if (open_ && !thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void SerialServing::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (const Pending &p : pending_)
        service_.serialUnsent(profile(), endpoint_.device, p.bytes.data(), p.bytes.size());
    pending_.clear();
    if (open_) {
        default_serial_link().close(port_);
        open_ = false;
    }
}

void SerialServing::serve(const uint8_t *request, int32_t length)
{
    SlaveService::SerialAnswer a =
        service_.serveSerial(profile(), endpoint_.device, request, size_t(length < 0 ? 0 : length));
    if (a.bytes.empty())
        return;
    if (a.releaseNs == 0 && pending_.empty()) {
        send(a.bytes);
        return;
    }
    if (pending_.size() >= kPendingMax)
        sendDue(true);
    pending_.push_back({a.releaseNs, std::move(a.bytes)});
}

const SlaveProfile &SerialServing::profile() const
{
    return endpoint_.mode == SerialMode::Rtu ? kSlaveRtuProfile : kSlaveAsciiProfile;
}

void SerialServing::send(const std::vector<uint8_t> &answer)
{
    default_serial_link().write(port_, answer.data(), int32_t(answer.size()));
    service_.serialSent(profile(), endpoint_.device, answer.data(), answer.size());
}

// Sends the held answers that are due (all: the first one whatever its time),
// in order.
void SerialServing::sendDue(bool all)
{
    const int64_t now = now_ns();
    while (!pending_.empty() && (all || pending_.front().at <= now)) {
        send(pending_.front().bytes);
        pending_.pop_front();
        all = false;
    }
}

void SerialServing::run()
{
    SerialReceiverHooks hooks;
    hooks.process = [this](const uint8_t *request, int32_t length) { serve(request, length); };
    hooks.logMemo1 = [this](const std::string &text) { service_.serialNote(endpoint_.device, text); };
    SerialLink &link = default_serial_link();
    while (!stop_) {
        const int64_t t0 = now_ns();
        // Each tick waits a few milliseconds for a byte when the line is
        // quiet, which paces this loop.
        if (endpoint_.mode == SerialMode::Rtu)
            rtu_.tick(link, port_, hooks);
        else
            ascii_.tick(link, port_, hooks);
        sendDue(false);
        // A line that hung up returns at once: do not spin on it.
        if (now_ns() - t0 < 1000000)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
