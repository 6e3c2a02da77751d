// The scan for devices: one probe to each device address in turn, each
// waiting for its answer or its time-out before the next goes out, on one
// line setting after another when a serial line's settings are swept (the
// sweep stops after the first setting where a device answered).
//
// Pure, with two seams: the time is passed in (ms of a monotonic clock), and
// the line is a Scan_line the station lends the scan. The owner calls wake()
// when the time it returned has come and received() with each piece of
// bytes, then wake() again at once.
//
// What is found and what is left out:
//  - an answer (a value, an exception) is a row; so is a frame of the unit
//    probed whose checksum fails ("CRC error", "LRC error");
//  - exceptions 0A and 0B (a gateway saying the device is not there) and
//    silence are left out;
//  - an answer from another unit, to another transaction or of another code
//    is late (an earlier address answering after its time-out): it is
//    dropped, never credited to the address probed now.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Scan_probe.h"
#include "Scan_receiver.h"

struct Scan_setting {
    int32_t baud = 9600;
    char parity = 'N';
    int16_t data_bits = 8;
    int16_t stop_bits = 1;
    bool operator==(const Scan_setting &) const = default;
};

// "9600 N 8 1"
std::string scan_setting_text(const Scan_setting &s);
// 1200 to 115200 baud, each with N 1, E 1, O 1 and N 2 stop bits, in that
// order, all with data_bits.
std::vector<Scan_setting> scan_sweep_settings(int16_t data_bits);
// Bits per character on the line, and the time n characters take (ms,
// rounded up).
int32_t scan_line_ms(const Scan_setting &s, size_t n);

// What the scan needs from the station it runs on.
class Scan_line {
public:
    virtual ~Scan_line() = default;
    // Serial lines in a sweep: the line goes to these settings; false when
    // it cannot (the scan ends).
    virtual bool set_line(const Scan_setting &setting) = 0;
    virtual void send(const uint8_t *bytes, size_t n) = 0;
    // Bytes received that made the answer of the probe (checked or not).
    virtual void answer(const uint8_t *bytes, size_t n) = 0;
    // Bytes received that answer no probe going on: late (an answer to an
    // earlier probe), or noise and pieces given up.
    virtual void dropped(const uint8_t *bytes, size_t n, bool late) = 0;
};

struct Scan_options {
    Scan_transport transport = Scan_transport::Rtu;
    Scan_probe probe = Scan_probe::Holding_register;
    uint16_t index = 0;  // from 0 in the probed table
    int first_unit = 1, last_unit = 247;
    int timeout_ms = 200;
    // Serial lines: the settings tried in turn. One setting without sweep:
    // the line's own, which the scan leaves alone.
    std::vector<Scan_setting> settings{Scan_setting{}};
    bool sweep = false;
    // The Setting column of a line without settings ("Modbus/TCP").
    std::string setting_text{};
    // Tcp and Udp: the first transaction id (then counted on, 0 skipped).
    uint16_t transaction = 1;
};

struct Scan_row {
    int unit = 0;
    std::string setting{};  // "9600 N 8 1", or the line's text
    std::string answer{};   // the value, "exception 02", "CRC error"
    int64_t time_ms = 0;  // from the end of the request to the answer
    std::string identity{};
    Scan_setting line{};  // serial: the setting it answered at
};

class Unit_scan {
public:
    static constexpr int kMinTimeoutMs = 20, kMaxTimeoutMs = 5000;
    static constexpr int kMinUnit = 1, kMaxUnit = 247;

    explicit Unit_scan(Scan_line &line) : line_(line), receiver_(Scan_transport::Rtu) {}

    // Checks the options and starts; the first probe goes at the next wake().
    // Returns why it cannot start, empty when it does. Rows of an earlier
    // scan go.
    std::string start(const Scan_options &options, int64_t now);
    // Sends, gives up on an answer, moves on, as due at now. Returns when it
    // wants to be woken next, or -1 once the scan is over.
    int64_t wake(int64_t now);
    // Bytes received (Udp: one datagram).
    void received(const uint8_t *data, size_t n, int64_t now);
    // Ends the scan at once; the rows found stay. What is held of an answer
    // is dropped.
    void stop();

    bool running() const { return state_ != State::Done; }
    const std::vector<Scan_row> &rows() const { return rows_; }
    // Why the scan ended early ("the line cannot be set to 1200 E 8 1"),
    // empty when it ran to its end or was stopped.
    const std::string &failure() const { return failure_; }
    int probesDone() const { return done_; }
    int probesTotal() const;
    // The unit probed now and the setting it is probed at ("" without).
    int unit() const { return unit_; }
    std::string settingText() const;
    // Tcp and Udp: the transaction id the next request would carry.
    uint16_t nextTransaction() const { return transaction_; }

private:
    enum class State { Done, Send, Wait, Pause };

    void send(int64_t now);
    // The probe of unit_ is over (answered, left out or timed out).
    void next(int64_t now, bool answered);
    void handle(Scan_frame &frame, int64_t now);
    bool hasChecksum() const;

    Scan_line &line_;
    Scan_options options_;
    Scan_receiver receiver_;
    State state_ = State::Done;
    std::vector<Scan_row> rows_;
    std::string failure_;
    size_t setting_ = 0;
    int unit_ = 0;
    int done_ = 0;
    bool foundHere_ = false;  // a device answered at this setting
    bool extended_ = false;   // the wait was lengthened for an answer begun
    int64_t due_ = 0;         // Wait: the time-out; Pause: the next send
    int64_t requestEnd_ = 0;  // when the request has left the line
    uint16_t transaction_ = 1;
    uint16_t sentTransaction_ = 0;
};

// The rows as CSV: a header line "Unit,Setting,Answer,Time,Identity", then
// one line per row as the table shows it.
std::string scan_csv(const std::vector<Scan_row> &rows);
