#include "Slave_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "Strformat.h"
#include "corvane.h"

#ifndef QUILLAN_VERSION
#define QUILLAN_VERSION "0"
#endif

const SlaveProfile kSlaveRtuProfile = {
    SlaveFraming::Rtu,
    1920,
    120,
    "Query message: ",
    "Response message: ",
    "Exception Message: ",
    "Mod Slave RTU CRC err RECV=%d %d CALC=%d %d len=%d",
    "Mod Slave RTU Relay addr=%d or bits=%d over range ",
    "Mod Slave RTU Relay addr=%d bits=%d over(max. TAG= %d)",
    "Mod Slave RTU Reg. addr=%d or words=%d over range ",
    "Mod Slave RTU Reg. addr=%d words=%d over(max. TAG= %d)",
    "Mod Slave RTU Relay addr=%d over range ",
    "Mod Slave RTU Reg. addr=%d over range ",
    "Mod Slave RTU Relay addr=%d bits=%d data too short len=%d",
    "Mod Slave RTU Reg. addr=%d words=%d data too short len=%d",
    "Mod Slave RTU req. too short len=%d",
    "Mod Slave RTU req. not hex. data len=%d",
    "RTU illegal function fun no.=%d ",
    "Fun-05 Coil set addr=%d set=%02X",
    "Fun-06 Register set addr=%d value=%d",
    true,
    true,
    false,
};

const SlaveProfile kSlaveAsciiProfile = {
    SlaveFraming::Ascii,
    960,
    60,
    "Query Message: ",
    "Response Message: ",
    "Exception Message: ",
    "Mod Slave ASCII LRC err RECV=%d %d CALC=%d %d len=%d",
    "Mod Slave ASC Relay addr=%d or bits=%d over range ",
    "Mod Slave ASC Relay addr=%d bits=%d over(max. TAG= %d)",
    "Mod Slave ASC Reg. addr=%d or words=%d over range ",
    "Mod Slave ASC Register addr=%d words=%d over(max. TAG= %d)",
    "Mod Slave ASC Relay addr=%d over range ",
    "Mod Slave ASC Reg. addr=%d over range ",
    "Mod Slave ASC Relay addr=%d bits=%d data too short len=%d",
    "Mod Slave ASC Reg. addr=%d words=%d data too short len=%d",
    "Mod Slave ASC req. too short len=%d",
    "Mod Slave ASC req. not hex. data len=%d",
    "ASCII illegal function fun no.=%d ",
    "Fun-05 Coil set addr=%d set=%.2s",
    "Fun-06 Register addr=%d value=%d",
    true,
    false,
    false,
};

const SlaveProfile kSlaveTcpProfile = {
    SlaveFraming::Tcp,
    1920,
    120,
    "Query Message: ",
    "Response Message: ",
    nullptr,
    nullptr,
    "Mod Slave TCP Relay addr=%d or bits=%d over range ",
    "Mod Slave TCP Relay addr=%d bits=%d over(max. TAG= %d)",
    "Mod Slave TCP Reg. addr=%d or words=%d over range ",
    "Mod Slave TCP Reg. addr=%d words=%d over(max. TAG= %d)",
    "Mod Slave TCP Relay addr=%d over range ",
    "Mod Slave TCP Reg. addr=%d over range ",
    "Mod Slave TCP Relay addr=%d bits=%d data too short len=%d",
    "Mod Slave TCP Reg. addr=%d words=%d data too short len=%d",
    "Mod Slave TCP req. too short len=%d",
    "Mod Slave TCP req. not hex. data len=%d",
    "TCP illegal function fun no.=%d ",
    "Fun-05 Coil set addr=%d set=%02X",
    "Fun-06 Register set addr=%d value=%d",
    false,
    false,
    true,
};

const char *slave_program_version() { return QUILLAN_VERSION; }

bool SlaveReply::sent() const
{
    // From the end: Send is the last event or close to it.
    return std::any_of(events.rbegin(), events.rend(), [](const SlaveEvent &e) { return e.type == SlaveEvent::Send; });
}

std::string slave_hex_bytes(const uint8_t *data, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(3 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 0x0F];
        s += ' ';
    }
    return s;
}

namespace {

using Bytes = std::vector<uint8_t>;
// Bytes where they lie: a request's PDU, an answer's data.
using ByteSpan = std::span<const uint8_t>;


// Where the fields of a request lie, per framing.
struct Layout {
    size_t function;  // function code byte or first of its two characters
    size_t start;     // start address
    size_t count;     // count or value
    size_t data;      // first data byte or character (after the byte count)
    size_t fieldsEnd; // the fields are complete when the request body reaches here
};

constexpr Layout kBinaryRtu = {1, 2, 4, 7, 6};
constexpr Layout kBinaryTcp = {7, 8, 10, 13, 12};
constexpr Layout kAscii = {3, 5, 9, 15, 13};

void append_hex2(Bytes &out, unsigned v)
{
    char t[2];
    itascxr(uint16_t(v & 0xFF), -2, t);
    out.push_back(uint8_t(t[0]));
    out.push_back(uint8_t(t[1]));
}

// ":" ... body ...  -> body + LRC + CR LF appended to out (out[0] is the ':').
void close_ascii(Bytes &out)
{
    char lrc[2];
    LRC_check(reinterpret_cast<char *>(out.data()) + 1, int32_t(out.size() - 1), lrc);
    out.push_back(uint8_t(lrc[0]));
    out.push_back(uint8_t(lrc[1]));
    out.push_back('\r');
    out.push_back('\n');
}

void close_rtu(Bytes &out)
{
    uint8_t crc[2];
    CRC_check(out.data(), int32_t(out.size()), crc);
    out.push_back(crc[0]);
    out.push_back(crc[1]);
}

// Largest register counts of code 23, and the objects of the basic device
// identification (43/14).
constexpr unsigned kReadWriteReadMax = 125;
constexpr unsigned kReadWriteWriteMax = 121;
constexpr unsigned kBasicObjects = 3;

class Server {
public:
    Server(const SlaveProfile &p, SlaveMemory &t, const uint8_t *req, size_t n, const SlaveServeOptions &o,
           SlaveServeState &st)
        : p_(p), t_(t), entries_(t.entries()), o_(o), st_(st), n_(std::min(n, kSlaveFrameMax))
    {
        if (n_ > 0)
            std::memcpy(req_.data(), req, n_);
        // A terminating NUL so that the hexadecimal decoders stop at the end
        // of what arrived.
        req_[n_] = 0;
        switch (p.framing) {
        case SlaveFraming::Rtu: lay_ = kBinaryRtu; break;
        case SlaveFraming::Tcp: lay_ = kBinaryTcp; break;
        case SlaveFraming::Ascii: lay_ = kAscii; break;
        }
    }

    SlaveReply run();
    // The exception answer to this request for function and code, without
    // serving it (a forced or a gateway exception).
    Bytes exceptionFor(unsigned function, uint8_t code)
    {
        switch (p_.framing) {
        case SlaveFraming::Rtu: bodyEnd_ = n_ >= 2 ? n_ - 2 : 0; break;
        case SlaveFraming::Ascii: bodyEnd_ = n_ >= 4 ? n_ - 4 : 0; break;
        case SlaveFraming::Tcp: bodyEnd_ = n_; break;
        }
        fn_ = function & 0xFF;
        return exception(code);
    }

private:
    bool ascii() const { return p_.framing == SlaveFraming::Ascii; }
    uint8_t at(size_t i) const { return i < n_ ? req_[i] : 0; }
    // A byte of the request proper: a frame's checksum is not part of it.
    uint8_t body(size_t i) const { return i < bodyEnd_ ? req_[i] : 0; }
    char *text(size_t i) { return reinterpret_cast<char *>(req_.data()) + i; }
    std::string frameText(const Bytes &b) const
    {
        return ascii() ? std::string(b.begin(), b.end()) : slave_hex_bytes(b.data(), b.size());
    }

    // Texts are dropped here when the caller wants none; those of every
    // served request are not even built (checked with textsWanted() first).
    void log(int memo, std::string text)
    {
        if (o_.logTexts)
            out_.events.push_back({SlaveEvent::Log, memo, std::move(text), 0, 0});
    }
    bool textsWanted() const { return o_.logTexts; }
    // Room for count Changed events and the few that follow them.
    void reserveChanges(size_t count) { out_.events.reserve(out_.events.size() + count + 4); }
    void changed(int kind, uint16_t index) { out_.events.push_back({SlaveEvent::Changed, 0, {}, kind, index}); }
    void send(Bytes b)
    {
        out_.response = std::move(b);
        out_.events.push_back({SlaveEvent::Send, 0, {}, 0, 0});
    }
    void respond(Bytes b)
    {
        std::string line;
        if (textsWanted())
            line = p_.responseCaption + frameText(b);
        send(std::move(b));
        log(2, std::move(line));
    }
    void sendException(uint8_t code)
    {
        excepted_ = true;
        Bytes e = exception(code);
        if (p_.exceptionCaption && textsWanted())
            log(2, p_.exceptionCaption + frameText(e));
        send(std::move(e));
    }
    void refuse(uint8_t code, const std::string &text)
    {
        if (p_.refusalTextFirst)
            log(1, text);
        sendException(code);
        if (!p_.refusalTextFirst)
            log(1, text);
    }
    void illegalFunction()
    {
        const std::string text = textsWanted() ? strformat(p_.illegalFunction, int(fn_)) : std::string();
        if (p_.illegalTextFirst)
            log(1, text);
        sendException(1);
        if (!p_.illegalTextFirst)
            log(1, text);
        if (p_.illegalLogsResponse && textsWanted())
            log(2, p_.responseCaption + frameText(out_.response));
    }

    bool checkFrame();
    bool decodeFunction();
    bool decodeFields();
    // The data part of codes 15 and 16, as bytes; false when the request was
    // refused (too short, or not hexadecimal).
    bool takeData(size_t bytesNeeded, unsigned unitBytes, Bytes &data, const char *shortText);

    Bytes exception(uint8_t code);
    Bytes readResponse(ByteSpan data);
    Bytes writeEcho();
    Bytes coilEcho();

    void readBits();
    void readRegisters();
    void writeCoil();
    void writeRegister();
    void writeCoils();
    void writeRegisters();

    // ---- the codes beyond the classic eight (SlaveCodes::All) ----
    // Serves fn_ when it is one of them; false when it is not.
    bool serveMore();
    bool takePdu(ByteSpan &pdu);
    // The answer that carries pdu (function code first), framed.
    Bytes framePdu(ByteSpan pdu);
    Bytes framePdu(const Bytes &pdu) { return framePdu(ByteSpan(pdu)); }
    // Refuses a PDU of the wrong length for its code (exception 03).
    void refuseLength(size_t have, size_t want);
    const char *tag() const;
    void readExceptionStatus(ByteSpan pdu);
    void diagnostics(ByteSpan pdu);
    void commEventCounter(ByteSpan pdu);
    void reportServerId(ByteSpan pdu);
    void maskWriteRegister(ByteSpan pdu);
    void readWriteRegisters(ByteSpan pdu);
    void deviceIdentification(ByteSpan pdu);

    const SlaveProfile &p_;
    SlaveMemory &t_;
    const unsigned entries_;  // in every table
    const SlaveServeOptions &o_;
    SlaveServeState &st_;
    bool excepted_ = false;
    // The request as it came (on the stack: no allocation per request), and
    // the PDU of an ASCII request once decoded.
    std::array<uint8_t, kSlaveFrameMax + 1> req_;
    size_t n_;
    std::array<uint8_t, kSlaveFrameMax / 2> asciiPdu_;
    unsigned fn_ = 0;
    size_t bodyEnd_ = 0;  // one past the last byte/character of the request proper
    Layout lay_{};
    uint16_t start_ = 0, count_ = 0;
    SlaveReply out_;
};

SlaveReply Server::run()
{
    if (textsWanted()) {
        // The usual reply: ClearMemos, the query, Send and the response line.
        out_.events.reserve(4);
        out_.events.push_back({SlaveEvent::ClearMemos, 0, {}, 0, 0});
        if (ascii())
            log(1, p_.queryCaption + std::string(req_.begin(), req_.begin() + std::ptrdiff_t(n_)));
        else
            log(1, p_.queryCaption + slave_hex_bytes(req_.data(), n_));
    }

    if (!checkFrame() || !decodeFunction())
        return std::move(out_);
    switch (fn_) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 15:
    case 16:
        if (!decodeFields())
            break;
        if (fn_ <= 2)
            readBits();
        else if (fn_ <= 4)
            readRegisters();
        else if (fn_ == 5)
            writeCoil();
        else if (fn_ == 6)
            writeRegister();
        else if (fn_ == 15)
            writeCoils();
        else
            writeRegisters();
        break;
    default:
        if (o_.codes == SlaveCodes::All && serveMore())
            break;
        illegalFunction();
        break;
    }
    // The comm event counter counts normal answers (not exceptions) and
    // leaves out its own reads.
    if (out_.sent() && !excepted_ && fn_ != 11)
        ++st_.commEvents;
    return std::move(out_);
}

bool Server::checkFrame()
{
    switch (p_.framing) {
    case SlaveFraming::Rtu: {
        // A frame of one byte has no CRC to compare: always an error.
        const size_t covered = n_ >= 2 ? n_ - 2 : 0;
        uint8_t calc[2];
        CRC_check(req_.data(), int32_t(covered), calc);
        const uint8_t r0 = n_ >= 2 ? req_[n_ - 2] : 0;
        const uint8_t r1 = n_ >= 1 ? req_[n_ - 1] : 0;
        if (n_ < 2 || r0 != calc[0] || r1 != calc[1]) {
            log(1, strformat(p_.checksumError, r0, r1, calc[0], calc[1], int(n_)));
            return false;
        }
        bodyEnd_ = n_ - 2;
        return true;
    }
    case SlaveFraming::Ascii: {
        if (n_ < 5) {  // no room for ':', the LRC and CR LF
            log(1, strformat(p_.fieldsShort, int(n_)));
            return false;
        }
        const size_t body = n_ - 5;
        char calc[2];
        LRC_check(text(1), int32_t(body), calc);
        const uint8_t r0 = req_[n_ - 4], r1 = req_[n_ - 3];
        // An odd number of characters cannot be a run of hexadecimal pairs.
        if (body % 2 != 0 || r0 != uint8_t(calc[0]) || r1 != uint8_t(calc[1])) {
            log(1, strformat(p_.checksumError, r0, r1, uint8_t(calc[0]), uint8_t(calc[1]), int(n_)));
            return false;
        }
        bodyEnd_ = n_ - 4;
        return true;
    }
    case SlaveFraming::Tcp:
        bodyEnd_ = n_;
        return true;
    }
    return false;
}

bool Server::decodeFunction()
{
    if (!ascii()) {
        if (bodyEnd_ <= lay_.function) {
            if (p_.framing == SlaveFraming::Rtu) {
                // Two or three bytes with a correct CRC: a master did send
                // them, so it gets the answer of any request too short for
                // its fields, with function code 0 as none came.
                refuse(3, strformat(p_.fieldsShort, int(n_)));
            } else {
                // Only a direct caller can hand over less than a header and
                // a function code; there is nothing to answer to.
                log(1, strformat(p_.fieldsShort, int(n_)));
            }
            return false;
        }
        fn_ = req_[lay_.function];
        return true;
    }
    if (bodyEnd_ < lay_.function + 2) {
        log(1, strformat(p_.fieldsShort, int(n_)));
        return false;
    }
    uint16_t v = 0;
    if (ascxti(text(lay_.function), 2, &v) != 0) {
        log(1, strformat(p_.notHex, int(n_)));
        return false;
    }
    fn_ = v;
    return true;
}

bool Server::decodeFields()
{
    if (bodyEnd_ < lay_.fieldsEnd) {
        if (ascii())
            log(1, strformat(p_.fieldsShort, int(n_)));
        else
            refuse(3, strformat(p_.fieldsShort, int(n_)));
        return false;
    }
    if (!ascii()) {
        start_ = uint16_t(req_[lay_.start] << 8 | req_[lay_.start + 1]);
        count_ = uint16_t(req_[lay_.count] << 8 | req_[lay_.count + 1]);
        return true;
    }
    if (ascxti(text(lay_.start), 4, &start_) != 0 || ascxti(text(lay_.count), 4, &count_) != 0) {
        log(1, strformat(p_.notHex, int(n_)));
        return false;
    }
    return true;
}

bool Server::takeData(size_t bytesNeeded, unsigned unitBytes, Bytes &data, const char *shortText)
{
    const size_t per = ascii() ? 2 : 1;  // characters or bytes per data byte
    const size_t avail = bodyEnd_ > lay_.data ? bodyEnd_ - lay_.data : 0;
    if (avail < bytesNeeded * per) {
        refuse(3, strformat(shortText, int(start_) + 1, int(count_), int(avail)));
        return false;
    }
    data.clear();
    if (!ascii()) {
        data.assign(req_.begin() + std::ptrdiff_t(lay_.data), req_.begin() + std::ptrdiff_t(lay_.data + bytesNeeded));
        return true;
    }
    const size_t unitChars = 2 * unitBytes;
    for (size_t i = 0; i < bytesNeeded; i += unitBytes) {
        uint16_t v = 0;
        if (ascxti(text(lay_.data + 2 * i), int16_t(unitChars), &v) != 0) {
            log(1, strformat(p_.notHex, int(n_)));
            return false;
        }
        if (unitBytes == 2)
            data.push_back(uint8_t(v >> 8));
        data.push_back(uint8_t(v & 0xFF));
    }
    return true;
}

// ---- responses ---------------------------------------------------------------

Bytes Server::readResponse(ByteSpan data)
{
    Bytes out;
    out.reserve(2 * data.size() + 11);  // the longest framing, ASCII's: no growth
    const size_t N = data.size();
    switch (p_.framing) {
    case SlaveFraming::Rtu:
        out = {at(0), at(1), uint8_t(N)};
        out.insert(out.end(), data.begin(), data.end());
        close_rtu(out);
        break;
    case SlaveFraming::Tcp:
        out = {at(0), at(1), at(2), at(3), 0, uint8_t(N + 3), at(6), at(7), uint8_t(N)};
        out.insert(out.end(), data.begin(), data.end());
        break;
    case SlaveFraming::Ascii:
        out = {':', at(1), at(2), at(3), at(4)};
        append_hex2(out, unsigned(N));
        for (uint8_t b : data)
            append_hex2(out, b);
        close_ascii(out);
        break;
    }
    return out;
}

Bytes Server::writeEcho()
{
    Bytes out;
    switch (p_.framing) {
    case SlaveFraming::Rtu:
        for (size_t i = 0; i < 6; ++i)
            out.push_back(at(i));
        close_rtu(out);
        break;
    case SlaveFraming::Tcp:
        out = {at(0), at(1), at(2), at(3), 0, 6};
        for (size_t i = 6; i < 12; ++i)
            out.push_back(at(i));
        break;
    case SlaveFraming::Ascii:
        for (size_t i = 0; i < 13; ++i)
            out.push_back(at(i));
        close_ascii(out);
        break;
    }
    return out;
}

Bytes Server::coilEcho()
{
    if (p_.framing == SlaveFraming::Tcp)
        return writeEcho();
    return Bytes(req_.begin(), req_.begin() + std::ptrdiff_t(n_));
}

Bytes Server::exception(uint8_t code)
{
    const unsigned fn = fn_ | 0x80;
    Bytes out;
    switch (p_.framing) {
    case SlaveFraming::Rtu:
        out = {body(0), uint8_t(fn), code};
        close_rtu(out);
        break;
    case SlaveFraming::Tcp:
        out = {body(0), body(1), body(2), body(3), 0, 3, body(6), uint8_t(fn), code};
        break;
    case SlaveFraming::Ascii:
        out = {':', body(1), body(2)};
        append_hex2(out, fn);
        append_hex2(out, code);
        close_ascii(out);
        break;
    }
    return out;
}

// ---- function codes --------------------------------------------------------

void Server::readBits()
{
    const unsigned start = start_, count = count_;
    if (start + count > entries_) {
        refuse(2, strformat(p_.relayOverRange, int(start + 1), int(count)));
        return;
    }
    if (count > p_.bitTag) {
        refuse(2, strformat(p_.relayOverTag, int(start + 1), int(count), int(p_.bitTag)));
        return;
    }
    Bytes data((count + 7) / 8, 0);
    for (unsigned j = 0; j < count; ++j) {
        const uint16_t n = uint16_t(start + j);
        const uint16_t bit = t_.bit(fn_ == 1 ? KindCoil : KindInputRelay, n);
        data[j / 8] = uint8_t(data[j / 8] | (bit << (j % 8)));
    }
    respond(readResponse(data));
}

void Server::readRegisters()
{
    const unsigned start = start_, count = count_;
    if (start + count > entries_) {
        refuse(2, strformat(p_.regOverRange, int(start + 1), int(count)));
        return;
    }
    if (count > p_.wordTag) {
        refuse(2, strformat(p_.regOverTag, int(start + 1), int(count), int(p_.wordTag)));
        return;
    }
    const int kind = fn_ == 3 ? KindHoldingRegister : KindInputRegister;
    // The registers go straight into the answer's data; a read the profile
    // allows is far smaller than a frame.
    std::array<uint8_t, kSlaveFrameMax> data;
    t_.readRegs(kind, start, count, data.data());
    respond(readResponse(ByteSpan(data.data(), 2 * size_t(count))));
}

void Server::writeCoil()
{
    if (start_ > entries_ - 1) {
        refuse(2, strformat(p_.relayAddrOverRange, int(start_) + 1));
        return;
    }
    const bool on = ascii() ? req_[lay_.count] == 'F' && req_[lay_.count + 1] == 'F' : req_[lay_.count] == 0xFF;
    t_.setBit(KindCoil, start_, on ? 1 : 0);
    changed(KindCoil, start_);
    if (textsWanted() && ascii())
        log(2, strformat(p_.coilSet, int(start_) + 1, text(lay_.count)));
    else if (textsWanted())
        log(2, strformat(p_.coilSet, int(start_) + 1, unsigned(req_[lay_.count])));
    respond(coilEcho());
}

void Server::writeRegister()
{
    if (start_ > entries_ - 1) {
        refuse(2, strformat(p_.regAddrOverRange, int(start_) + 1));
        return;
    }
    t_.setReg(KindHoldingRegister, start_, count_);
    changed(KindHoldingRegister, start_);
    if (textsWanted())
        log(2, strformat(p_.registerSet, int(start_) + 1, int(int16_t(t_.reg(KindHoldingRegister, start_)))));
    respond(writeEcho());
}

void Server::writeCoils()
{
    const unsigned start = start_, count = count_;
    if (start + count > entries_) {
        refuse(2, strformat(p_.relayOverRange, int(start + 1), int(count)));
        return;
    }
    Bytes data;
    if (!takeData((count + 7) / 8, 1, data, p_.relayDataShort))
        return;
    if (textsWanted())
        log(2, strformat("Fun-15 Multi-Point Coil set addr=%d bits=%d", int(start + 1), int(count)));
    reserveChanges(count);
    for (unsigned j = 0; j < count; ++j) {
        const uint16_t n = uint16_t(start + j);
        t_.setBit(KindCoil, n, uint16_t(data[j / 8] >> (j % 8)));
        changed(KindCoil, n);
    }
    respond(writeEcho());
}

void Server::writeRegisters()
{
    const unsigned start = start_, count = count_;
    if (start + count > entries_) {
        refuse(2, strformat(p_.regOverRange, int(start + 1), int(count)));
        return;
    }
    Bytes data;
    if (!takeData(2 * size_t(count), 2, data, p_.regDataShort))
        return;
    if (textsWanted())
        log(2, strformat("Fun-16 Multi-Point Register set addr=%d words=%d", int(start + 1), int(count)));
    t_.writeRegs(KindHoldingRegister, start, count, data.data());
    reserveChanges(count);
    for (unsigned j = 0; j < count; ++j)
        changed(KindHoldingRegister, uint16_t(start + j));
    respond(writeEcho());
}

// ---- the codes beyond the classic eight ---------------------------------------

const char *Server::tag() const
{
    switch (p_.framing) {
    case SlaveFraming::Rtu: return "Mod Slave RTU";
    case SlaveFraming::Ascii: return "Mod Slave ASC";
    case SlaveFraming::Tcp: break;
    }
    return "Mod Slave TCP";
}

bool Server::takePdu(ByteSpan &pdu)
{
    if (!ascii()) {
        pdu = ByteSpan(req_.data() + lay_.function, bodyEnd_ - lay_.function);
        return true;
    }
    size_t size = 0;
    // checkFrame let only an even number of characters through, and the
    // function code begins an even distance after the ':'.
    for (size_t i = lay_.function; i + 1 < bodyEnd_; i += 2) {
        uint16_t v = 0;
        if (ascxti(text(i), 2, &v) != 0) {
            log(1, strformat(p_.notHex, int(n_)));
            return false;
        }
        asciiPdu_[size++] = uint8_t(v);
    }
    pdu = ByteSpan(asciiPdu_.data(), size);
    return true;
}

Bytes Server::framePdu(ByteSpan pdu)
{
    Bytes out;
    out.reserve(2 * pdu.size() + 9);  // the longest framing, ASCII's: no growth
    switch (p_.framing) {
    case SlaveFraming::Rtu:
        out = {at(0)};
        out.insert(out.end(), pdu.begin(), pdu.end());
        close_rtu(out);
        break;
    case SlaveFraming::Tcp: {
        const size_t length = pdu.size() + 1;  // the unit and the PDU
        out = {at(0), at(1), at(2), at(3), uint8_t(length >> 8), uint8_t(length & 0xFF), at(6)};
        out.insert(out.end(), pdu.begin(), pdu.end());
        break;
    }
    case SlaveFraming::Ascii:
        out = {':', at(1), at(2)};
        for (uint8_t b : pdu)
            append_hex2(out, b);
        close_ascii(out);
        break;
    }
    return out;
}

void Server::refuseLength(size_t have, size_t want)
{
    refuse(3, have < want ? strformat(p_.fieldsShort, int(n_)) : strformat("%s req. too long len=%d", tag(), int(n_)));
}

bool Server::serveMore()
{
    switch (fn_) {
    case 7:
    case 8:
    case 11:
    case 17:
    case 22:
    case 23:
    case 43:
        break;
    default:
        return false;
    }
    ByteSpan pdu;
    if (!takePdu(pdu))
        return true;
    switch (fn_) {
    case 7: readExceptionStatus(pdu); break;
    case 8: diagnostics(pdu); break;
    case 11: commEventCounter(pdu); break;
    case 17: reportServerId(pdu); break;
    case 22: maskWriteRegister(pdu); break;
    case 23: readWriteRegisters(pdu); break;
    default: deviceIdentification(pdu); break;
    }
    return true;
}

unsigned word_of(ByteSpan b, size_t i) { return unsigned(b[i]) << 8 | b[i + 1]; }

void Server::readExceptionStatus(ByteSpan pdu)
{
    if (pdu.size() != 1) {
        refuseLength(pdu.size(), 1);
        return;
    }
    // Coils 00001 to 00008, the first in the lowest bit.
    unsigned status = 0;
    for (uint16_t j = 0; j < 8; ++j)
        status |= unsigned(t_.bit(KindCoil, j)) << j;
    if (textsWanted())
        log(2, strformat("Fun-07 Exception status=%02X", status));
    respond(framePdu({7, uint8_t(status)}));
}

void Server::diagnostics(ByteSpan pdu)
{
    if (pdu.size() < 3) {
        refuseLength(pdu.size(), 3);
        return;
    }
    const unsigned sub = word_of(pdu, 1);
    if (sub != 0) {
        refuse(1, strformat("%s Diag. sub-function=%u not served", tag(), sub));
        return;
    }
    // Return Query Data: the data are whole words, echoed as they came.
    const size_t data = pdu.size() - 3;
    if (data % 2 != 0) {
        refuse(3, strformat("%s Diag. data bytes=%d not whole words", tag(), int(data)));
        return;
    }
    if (textsWanted())
        log(2, strformat("Fun-08 Diagnostics echo bytes=%d", int(data)));
    respond(framePdu(pdu));
}

void Server::commEventCounter(ByteSpan pdu)
{
    if (pdu.size() != 1) {
        refuseLength(pdu.size(), 1);
        return;
    }
    const unsigned count = st_.commEvents;
    if (textsWanted())
        log(2, strformat("Fun-11 Comm event counter=%u", count));
    // Status 0000: no earlier command is still being carried out.
    respond(framePdu({11, 0, 0, uint8_t(count >> 8), uint8_t(count & 0xFF)}));
}

void Server::reportServerId(ByteSpan pdu)
{
    if (pdu.size() != 1) {
        refuseLength(pdu.size(), 1);
        return;
    }
    uint16_t unit = 0;
    switch (p_.framing) {
    case SlaveFraming::Rtu: unit = at(0); break;
    case SlaveFraming::Tcp: unit = at(6); break;
    case SlaveFraming::Ascii:
        if (ascxti(text(1), 2, &unit) != 0) {
            log(1, strformat(p_.notHex, int(n_)));
            return;
        }
        break;
    }
    const std::string &vendor = o_.identity.vendor;
    const size_t length = std::min(vendor.size(), kSlaveIdentityMax);
    // Server id (the device address), run indicator (on), then the vendor.
    Bytes out = {17, uint8_t(2 + length), uint8_t(unit), 0xFF};
    out.insert(out.end(), vendor.begin(), vendor.begin() + std::ptrdiff_t(length));
    if (textsWanted())
        log(2, strformat("Fun-17 Report server ID unit=%u", unsigned(unit)));
    respond(framePdu(out));
}

void Server::maskWriteRegister(ByteSpan pdu)
{
    if (pdu.size() != 7) {
        refuseLength(pdu.size(), 7);
        return;
    }
    const unsigned addr = word_of(pdu, 1), andMask = word_of(pdu, 3), orMask = word_of(pdu, 5);
    if (addr >= entries_) {
        refuse(2, strformat(p_.regAddrOverRange, int(addr) + 1));
        return;
    }
    const uint16_t value = uint16_t((t_.reg(KindHoldingRegister, addr) & andMask) | (orMask & ~andMask));
    t_.setReg(KindHoldingRegister, addr, value);
    changed(KindHoldingRegister, uint16_t(addr));
    if (textsWanted())
        log(2, strformat("Fun-22 Mask Write Register addr=%d and=%04X or=%04X value=%d", int(addr) + 1, andMask, orMask,
                         int(int16_t(value))));
    respond(framePdu(pdu));
}

void Server::readWriteRegisters(ByteSpan pdu)
{
    constexpr size_t fixed = 10;  // code, read start and count, write start and count, byte count
    if (pdu.size() < fixed) {
        refuseLength(pdu.size(), fixed);
        return;
    }
    const unsigned readStart = word_of(pdu, 1), readCount = word_of(pdu, 3);
    const unsigned writeStart = word_of(pdu, 5), writeCount = word_of(pdu, 7), bytes = pdu[9];
    if (readCount < 1 || readCount > kReadWriteReadMax || writeCount < 1 || writeCount > kReadWriteWriteMax ||
        bytes != 2 * writeCount) {
        refuse(3, strformat("%s Reg. read words=%d write words=%d bytes=%d out of range", tag(), int(readCount),
                            int(writeCount), int(bytes)));
        return;
    }
    if (pdu.size() != fixed + bytes) {
        if (pdu.size() < fixed + bytes)
            refuse(3, strformat(p_.regDataShort, int(writeStart) + 1, int(writeCount), int(pdu.size() - fixed)));
        else
            refuseLength(pdu.size(), fixed + bytes);
        return;
    }
    if (readStart + readCount > entries_) {
        refuse(2, strformat(p_.regOverRange, int(readStart) + 1, int(readCount)));
        return;
    }
    if (writeStart + writeCount > entries_) {
        refuse(2, strformat(p_.regOverRange, int(writeStart) + 1, int(writeCount)));
        return;
    }
    if (textsWanted())
        log(2, strformat("Fun-23 Read/Write Registers read addr=%d words=%d write addr=%d words=%d", int(readStart) + 1,
                         int(readCount), int(writeStart) + 1, int(writeCount)));
    // The write comes first, so a read of the same registers sees it.
    t_.writeRegs(KindHoldingRegister, writeStart, writeCount, pdu.data() + fixed);
    reserveChanges(writeCount);
    for (unsigned j = 0; j < writeCount; ++j)
        changed(KindHoldingRegister, uint16_t(writeStart + j));
    std::array<uint8_t, 2 + 2 * kReadWriteReadMax> out;
    out[0] = 23;
    out[1] = uint8_t(2 * readCount);
    t_.readRegs(KindHoldingRegister, readStart, readCount, out.data() + 2);
    respond(framePdu(ByteSpan(out.data(), 2 + 2 * size_t(readCount))));
}

void Server::deviceIdentification(ByteSpan pdu)
{
    constexpr size_t fixed = 4;  // code, MEI type, read device id code, object id
    if (pdu.size() < 2) {
        refuseLength(pdu.size(), fixed);
        return;
    }
    if (pdu[1] != 14) {
        refuse(1, strformat("%s MEI type=%u not served", tag(), unsigned(pdu[1])));
        return;
    }
    if (pdu.size() != fixed) {
        refuseLength(pdu.size(), fixed);
        return;
    }
    const unsigned code = pdu[2], object = pdu[3];
    if (code < 1 || code > 4) {
        refuse(3, strformat("%s Dev. id. read code=%u illegal", tag(), code));
        return;
    }
    if (code == 4 && object >= kBasicObjects) {
        refuse(2, strformat("%s Dev. id. object=%u unknown", tag(), object));
        return;
    }
    // Streams (codes 1, 2 and 3) answer the basic objects from the one asked
    // for, from the first when it is unknown: this server has the basic ones
    // only, and a higher category is answered with what it has. Code 4 gives
    // the one object.
    const unsigned first = code == 4 || object < kBasicObjects ? object : 0;
    const unsigned last = code == 4 ? object : kBasicObjects - 1;
    const std::string *texts[kBasicObjects] = {&o_.identity.vendor, &o_.identity.product, &o_.identity.revision};
    // Conformity 81: basic identification, stream and individual access; no
    // more follows, next object 0.
    Bytes out = {43, 14, uint8_t(code), 0x81, 0x00, 0x00, uint8_t(last - first + 1)};
    for (unsigned id = first; id <= last; ++id) {
        const std::string &t = *texts[id];
        const size_t length = std::min(t.size(), kSlaveIdentityMax);
        out.push_back(uint8_t(id));
        out.push_back(uint8_t(length));
        out.insert(out.end(), t.begin(), t.begin() + std::ptrdiff_t(length));
    }
    if (textsWanted())
        log(2, strformat("Fun-43 Device identification code=%u objects=%u", code, last - first + 1));
    respond(framePdu(out));
}

}  // namespace

SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveMemory &tables, const uint8_t *request, size_t n,
                               const SlaveServeOptions &options, SlaveServeState &state)
{
    Server s(profile, tables, request, n, options, state);
    return s.run();
}

SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request, size_t n,
                               const SlaveServeOptions &options, SlaveServeState &state)
{
    FixedTablesMemory memory(tables);
    return serve_slave_request(profile, memory, request, n, options, state);
}

SlaveReply serve_slave_request(const SlaveProfile &profile, SlaveTables &tables, const uint8_t *request, size_t n)
{
    static const SlaveServeOptions classic;
    SlaveServeState none;
    return serve_slave_request(profile, tables, request, n, classic, none);
}

std::vector<uint8_t> build_slave_exception(const SlaveProfile &profile, const uint8_t *request, size_t n,
                                           unsigned function, uint8_t code)
{
    static const SlaveServeOptions classic;
    SlaveServeState none;
    SlaveTables tables;
    FixedTablesMemory memory(tables);
    Server s(profile, memory, request, n, classic, none);
    return s.exceptionFor(function, code);
}
