// quillan-poll: the master stations' engine without a window, for scripts,
// CI jobs and the shell. See poll_help_text() for the command line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Device_map.h"
#include "Option_values.h"
#include "Pcap_writer.h"
#include "Poll_link.h"
#include "Poll_options.h"
#include "Poll_plan.h"
#include "Poll_printer.h"
#include "Poll_runner.h"
#include "Poll_wait.h"
#include "Station_traffic.h"

namespace {

int fail(int status, const std::string &text)
{
    std::fprintf(stderr, "quillan-poll: %s\n", text.c_str());
    return status;
}

const char *transport_option(Poll_transport t)
{
    switch (t) {
    case Poll_transport::Tcp: return "--tcp";
    case Poll_transport::Rtu: return "--rtu";
    case Poll_transport::Ascii: return "--ascii";
    case Poll_transport::RtuOverTcp: return "--rtu-over-tcp";
    case Poll_transport::Udp: return "--udp";
    }
    return "--tcp";
}

// --log without --pcap keeps only the lines not yet written.
constexpr size_t kLogOnlyCapacity = 64;

}  // namespace

int main(int argc, char **argv)
{
    const Poll_command cmd = parse_poll_command(std::vector<std::string>(argv + 1, argv + argc));
    switch (cmd.action) {
    case Poll_command::ShowHelp: std::fputs(poll_help_text().c_str(), stdout); return 0;
    case Poll_command::ShowVersion: std::fputs(poll_version_text().c_str(), stdout); return 0;
    case Poll_command::Refused: return fail(2, cmd.error);
    case Poll_command::Run: break;
    }
    const Poll_options &o = cmd.options;

    // Everything the options name is checked before anything is sent: the
    // map is read whole, and the writes by name are checked against it.
    Device_map map;
    if (!o.mapFile.empty())
        if (const std::string problem = map.load(o.mapFile); !problem.empty())
            return fail(2, "--map: " + problem);
    Poll_plan plan;
    if (const std::string problem = make_poll_plan(o, o.mapFile.empty() ? nullptr : &map, plan); !problem.empty())
        return fail(2, problem);

    install_stop_signals();

    std::unique_ptr<Poll_link> link;
    if (o.transport == Poll_transport::Tcp || o.transport == Poll_transport::RtuOverTcp) {
        link = std::make_unique<Tcp_poll_link>(o.host, o.port, o.timeoutMs,
                                               o.transport == Poll_transport::Tcp ? Tcp_poll_link::Frames::Mbap
                                                                                  : Tcp_poll_link::Frames::Rtu);
    } else if (o.transport == Poll_transport::Udp) {
        link = std::make_unique<Udp_poll_link>(o.host, o.port, o.timeoutMs);
    } else {
        // A device given as a path is opened through a port number of the
        // link library pointed at it.
        int port = o.comPort;
        if (!port) {
            port = kComPortMax;
            setenv(("CORVANE_COM" + std::to_string(port)).c_str(), o.target.c_str(), 1);
        }
        link = std::make_unique<Serial_poll_link>(default_serial_link(), port, o.transport == Poll_transport::Ascii,
                                                  Serial_poll_link::Line{o.baud, o.parity, o.dataBits, o.stopBits},
                                                  o.timeoutMs);
    }

    std::unique_ptr<Station_traffic> traffic;
    uint64_t logged = 0;
    if (o.log || !o.pcapFile.empty()) {
        traffic = std::make_unique<Station_traffic>(link->historyFraming(), Traffic_side::Master, Traffic_history::Clock{},
                                                    Station_traffic::Steady_clock{},
                                                    o.pcapFile.empty() ? kLogOnlyCapacity : Traffic_history::kCapacity);
        if (o.log) {
            Traffic_history &h = traffic->history();
            h.set_listener([&h, &logged] {
                for (logged = std::max(logged, h.first_seq()); logged < h.end_seq(); ++logged)
                    if (const Traffic_event *e = h.find(logged))
                        std::fprintf(stderr, "%s\n", h.line(*e).c_str());
            });
        }
        link->setTraffic(traffic.get());
    }

    Poll_printer printer(o.output, stdout, plan);
    Poll_runner runner(o, plan, *link, printer);
    int status = 0;
    if (const std::string why = link->open(); !why.empty()) {
        if (!stop_requested()) {
            const char *option = transport_option(o.transport);
            std::fprintf(stderr, "quillan-poll: %s %s: %s\n", option, o.target.c_str(), why.c_str());
            status = 1;
        }
    } else {
        status = o.scan ? runner.scan() : runner.run();
    }
    std::fflush(stdout);

    if (traffic && !o.pcapFile.empty()) {
        const Save_result saved = save_traffic_pcap(traffic->history(), o.pcapFile);
        if (!saved.ok) {
            std::fprintf(stderr, "quillan-poll: --pcap: %s\n", saved.error.c_str());
            status = 1;
        } else if (!saved.remark.empty()) {
            std::fprintf(stderr, "quillan-poll: --pcap: %s\n", saved.remark.c_str());
        }
    }
    std::fprintf(stderr, "quillan-poll: %s\n", runner.stats().label().c_str());
    return status;
}
