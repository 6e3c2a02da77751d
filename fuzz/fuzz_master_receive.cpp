// The serial masters' receive state machines (RTU and ASCII) on any byte
// stream with any timing, on a fake line and clock, and every answer they
// complete checked and decoded into a grid: the buffer is never overrun, an
// answer holds exactly the bytes taken since it began, an RTU answer ends only
// by 100 ms of silence and never by the time-out once a byte is in.
//
// Input: byte 0 picks RTU or ASCII (bit 0); bytes 1-2 the clock's start in
// the minute; bytes 3-5 the grid's kind and count (1 to 130). Then steps: a control
// byte (bit 7: a byte arrives, taken from the next input byte; bits 6-5 both
// set: a new request restarts the machine; bits 4-0: the clock moves by that
// many 5 ms) and one tick.
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "Master_grid.h"
#include "Master_receive.h"
#include "Memory_grid.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

class FakeLine : public SerialLink {
public:
    long ms = 0;
    std::deque<uint8_t> queue;
    int taken = -1;  // the byte the last recv() gave, -1 for none

    int16_t recv(int32_t) override
    {
        if (queue.empty()) {
            taken = -1;
            return -1;
        }
        taken = queue.front();
        queue.pop_front();
        return int16_t(taken);
    }
    void now(ClockFields &c) override
    {
        c.minute = int16_t(ms / 60000 % 60);
        c.second = int16_t(ms / 1000 % 60);
        c.msec = int16_t(ms % 1000);
    }
};

struct Decoder {
    MemoryGrid grid;
    uint16_t kind = 0, count = 1;
    int rows = 0, cols = 0;

    Decoder(const uint8_t *d)
    {
        kind = d[0] % 4;
        count = uint16_t(1 + (d[1] << 8 | d[2]) % 130);  // the decoders alone take any count elsewhere
        layout_master_grid(grid, kind, 1, count);
        rows = grid.rowCount();
        cols = grid.colCount();
    }
    void keptLayout() const { check(grid.rowCount() == rows && grid.colCount() == cols); }
};

void run_rtu(FakeLine &line, const uint8_t *ops, size_t n, Decoder &dec)
{
    RtuReceiver rx;
    rx.setGap(100);
    std::vector<uint8_t> expected;  // what the answer must hold
    long lastByte = -1;             // when the station took the answer's last byte
    bool byteSinceStart = false;
    for (size_t i = 0; i < n;) {
        const uint8_t op = ops[i++];
        if ((op & 0x80) && i < n)
            line.queue.push_back(ops[i++]);
        if ((op & 0x60) == 0x60)
            rx.restart();
        line.ms += (op & 0x1F) * 5;

        const int before = rx.state();
        if (before == RtuReceiver::Start) {
            expected.clear();
            byteSinceStart = false;
            lastByte = -1;
        }
        line.taken = -1;
        const ReceiveEvent ev = rx.tick(line, 1);
        check(rx.length() >= 0 && rx.length() <= RtuReceiver::kBufferSize);
        check(rx.emptyPolls() <= RtuReceiver::kEmptyPolls);

        if (line.taken >= 0 && ev != ReceiveEvent::Overflow) {
            if (before == RtuReceiver::WaitFirst)
                expected.assign(1, uint8_t(line.taken));
            else
                expected.push_back(uint8_t(line.taken));
            byteSinceStart = true;
            lastByte = line.ms;
        }
        if (before == RtuReceiver::Receive && rx.state() == RtuReceiver::Check)
            check(lastByte >= 0 && line.ms - lastByte >= 91);  // 10 whole units of 10 ms at least

        switch (ev) {
        case ReceiveEvent::Check: {
            check(rx.length() == int32_t(expected.size()));
            check(std::memcmp(rx.data(), expected.data(), expected.size()) == 0);
            const AnswerCheck c = rx.checkAnswer();
            check(c.ok == c.error.empty());
            if (c.ok)
                show_rtu_response(dec.grid, rx.data(), rx.length(), dec.count, 1, 1, 0x1234);
            dec.keptLayout();
            break;
        }
        case ReceiveEvent::TimeOut:
            check(!byteSinceStart);  // once a byte is in, only silence ends the answer
            break;
        case ReceiveEvent::Overflow:
            check(rx.state() == RtuReceiver::Start && expected.size() == size_t(RtuReceiver::kBufferSize));
            break;
        default:
            break;
        }
    }
}

void run_ascii(FakeLine &line, const uint8_t *ops, size_t n, Decoder &dec)
{
    AsciiReceiver rx;
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < n;) {
        const uint8_t op = ops[i++];
        if ((op & 0x80) && i < n)
            line.queue.push_back(ops[i++]);
        if ((op & 0x60) == 0x60)
            rx.restart();
        line.ms += (op & 0x1F) * 5;

        const int before = rx.state();
        if (before == AsciiReceiver::Start)
            expected.clear();
        line.taken = -1;
        const ReceiveEvent ev = rx.tick(line, 2);
        check(rx.length() >= 0 && rx.length() <= AsciiReceiver::kBufferSize);
        check(rx.data()[rx.length()] == 0);
        check(rx.emptyPolls() <= AsciiReceiver::kEmptyPolls);

        if (line.taken >= 0 && ev != ReceiveEvent::Overflow) {
            if (before == AsciiReceiver::WaitColon && line.taken == ':')
                expected.assign(1, ':');
            else if (before == AsciiReceiver::Receive)
                expected.push_back(uint8_t(line.taken));
        }
        switch (ev) {
        case ReceiveEvent::Check: {
            check(rx.length() == int32_t(expected.size()));
            check(std::memcmp(rx.data(), expected.data(), expected.size()) == 0);
            check(rx.data()[0] == ':' && rx.data()[rx.length() - 1] == '\n');
            const AnswerCheck c = rx.checkAnswer();
            check(c.ok == c.error.empty());
            if (c.ok)
                show_ascii_response(dec.grid, rx.data(), rx.length(), dec.count, 1, 1, 0x1234);
            dec.keptLayout();
            break;
        }
        case ReceiveEvent::Overflow:
            check(rx.state() == AsciiReceiver::Start && expected.size() == size_t(AsciiReceiver::kBufferSize));
            break;
        default:
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    FakeLine line;
    line.ms = long(data[1] << 8 | data[2]);
    Decoder dec(data + 3);
    if (data[0] & 1)
        run_ascii(line, data + 6, size - 6, dec);
    else
        run_rtu(line, data + 6, size - 6, dec);
    return 0;
}
