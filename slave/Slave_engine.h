// The serving engine of the three slave stations: one complete request and the
// station's tables in; the response, the traffic log lines and one note per
// changed table entry out, as an ordered list of events the window replays.
//
// What differs between RTU, ASCII and TCP (framing, limits, texts and the
// order in which a refusal is logged) is held in a SlaveProfile; the
// function-code handling exists once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Slave_memory.h"
#include "Slave_tables.h"

enum class SlaveFraming { Rtu, Ascii, Tcp };

struct SlaveProfile {
    SlaveFraming framing;
    uint16_t bitTag;   // largest bit count of one read (codes 1 and 2)
    uint16_t wordTag;  // largest register count of one read (codes 3 and 4)

    // Captions of the logged frames.
    const char *queryCaption;
    const char *responseCaption;
    // Memo2 line written by the exception builder; nullptr: it logs nothing.
    const char *exceptionCaption;
    // Checksum failure (RTU: CRC, ASCII: LRC): received pair, computed pair, length.
    const char *checksumError;

    // Range refusals (start + 1, count[, tag]).
    const char *relayOverRange;  // reads and code 15
    const char *relayOverTag;
    const char *regOverRange;    // reads and code 16
    const char *regOverTag;
    const char *relayAddrOverRange;  // code 5
    const char *regAddrOverRange;    // code 6
    // Requests that cannot be served as they stand.
    const char *relayDataShort;  // code 15: start + 1, count, bytes or characters received
    const char *regDataShort;    // code 16: start + 1, count, bytes or characters received
    const char *fieldsShort;     // function code, length
    const char *notHex;          // ASCII only: a field that is not hexadecimal; length

    const char *illegalFunction;  // function code
    const char *coilSet;          // code 5: start + 1, value byte (RTU, TCP) or its two characters (ASCII)
    const char *registerSet;      // code 6: start + 1, signed value

    // Order of logging.
    bool refusalTextFirst;     // range refusal: Memo1 text before the exception is built and sent
    bool illegalTextFirst;     // illegal function: Memo1 text before the exception is built and sent
    bool illegalLogsResponse;  // illegal function: the exception is logged after the response caption
};

extern const SlaveProfile kSlaveRtuProfile;
extern const SlaveProfile kSlaveAsciiProfile;
extern const SlaveProfile kSlaveTcpProfile;

struct SlaveEvent {
    enum Type {
        ClearMemos,  // both memos cleared
        Log,         // memo (1 upper, 2 lower) gets text
        Changed,     // table entry (kind, index) was written: refresh its cell or row
        Send,        // the response goes out now
    };
    Type type;
    int memo = 0;
    std::string text;
    int kind = 0;
    uint16_t index = 0;
};

struct SlaveReply {
    std::vector<uint8_t> response;  // what Send sends; empty when nothing is sent
    std::vector<SlaveEvent> events;
    bool sent() const;
};

// Largest request or response a station handles (its frame buffers).
constexpr size_t kSlaveFrameMax = 512;

// Which function codes a server answers. Codes 7, 8, 11 and 17, defined for
// serial lines, are answered over Modbus/TCP as well. A request of a new code
// whose length does not fit its fields gets exception 03 on every transport.
enum class SlaveCodes {
    Classic,  // 1, 2, 3, 4, 5, 6, 15 and 16; any other code gets exception 01
    All,      // the classic eight and 7, 8 (sub-function 0), 11, 17, 22, 23, 43/14
};

// What a server says of itself (codes 17 and 43/14). Each text is cut to
// kSlaveIdentityMax bytes, so that every answer fits one frame of any
// transport.
constexpr size_t kSlaveIdentityMax = 64;
// The program's version, as the build sets it.
const char *slave_program_version();
struct SlaveIdentity {
    std::string vendor = "Quillan";
    std::string product;  // the caller's own kind, such as "Slave TCP"
    std::string revision = slave_program_version();
};

// How one server answers, beyond what its transport's profile says.
struct SlaveServeOptions {
    SlaveCodes codes = SlaveCodes::Classic;
    SlaveIdentity identity;
    // The memo texts (ClearMemos and every Log event: frames in hexadecimal,
    // captions, notes) are made. A caller that shows no memo and logs no
    // line sets false: its replies then hold only the Changed and Send
    // events, with the same response and the same tables and counts, and
    // the hot paths build no text at all.
    bool logTexts = true;
};

// What the engine keeps for one server between its requests.
struct SlaveServeState {
    // Requests completed with a normal answer, code 11's own excepted (what
    // code 11 answers); wraps at 65 536.
    uint16_t commEvents = 0;
};

// Serves one complete request: an RTU frame with its CRC, an ASCII text from
// ":" through LF, or one Modbus/TCP message framed by its length field.
// Requests longer than kSlaveFrameMax are cut to it. Nothing is read beyond
// the n bytes given.
SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request, size_t n,
                               const SlaveServeOptions &options, SlaveServeState &state);
SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request, size_t n,
                               const SlaveServeOptions &options, SlaveServeState &state);
// The same with the classic codes and no state kept.
SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request,
                               size_t n);

// The exception answer to a request (function code and exception code), as
// the profile frames it, with the request's address and transaction fields.
std::vector<uint8_t> build_slave_exception(const SlaveProfile &profile, const uint8_t *request, size_t n,
                                           unsigned function, uint8_t code);

// Frames written in the logs: "%02X " per byte.
std::string slave_hex_bytes(const uint8_t *data, size_t n);
