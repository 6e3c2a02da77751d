#include "Serial_serving.h"

#include <chrono>

#include "Serial_link.h"
#include "Serial_port.h"

namespace {

// Answers held back by --delay on one line; beyond this the oldest goes out
// early rather than memory growing.
constexpr size_t kPendingMax = 4096;

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

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
    *reason = open_serial_port(default_serial_link(), port_, line_.baud, line_.parity, line_.dataBits,
                               line_.stopBits);
    open_ = reason->empty();
    return open_;
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
