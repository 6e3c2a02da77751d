// Cuts what the scan receives into frames, in each transport. A scan waits
// for one answer at a time and can give up on it: so a frame is whole by its
// own length and checksum (a serial line's silences are not watched), and
// bytes that begin no frame are told apart as noise, as late bytes of an
// earlier answer are. Pure; holds at most kMaxHeld bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Scan_probe.h"
#include "Tcp_framer.h"

struct Scan_frame {
    enum Kind : uint8_t {
        Whole,   // its checksum holds (TCP, UDP: its header frames it)
        Broken,  // an ASCII line whose LRC fails, or bytes given up (release())
        Noise,   // bytes that begin no frame
    };
    Kind kind = Noise;
    uint8_t unit = 0;
    uint16_t transaction = 0;  // Tcp and Udp
    std::vector<uint8_t> pdu{};    // Whole: function code first
    std::vector<uint8_t> bytes{};  // as received
};

class Scan_receiver {
public:
    static constexpr size_t kMaxHeld = 1024;

    explicit Scan_receiver(Scan_transport transport) : transport_(transport) {}

    // Bytes received (Udp: one whole datagram); the frames they complete and
    // the noise before them are added to out.
    void take(const uint8_t *data, size_t n, std::vector<Scan_frame> &out);
    // The bytes held (the start of a frame that may still complete).
    size_t held() const;
    // Gives up on what is held: a Broken frame of its first byte's unit
    // (Noise when it is not the start of a frame), or nothing when empty.
    bool release(Scan_frame &out);

private:
    void takeRtu(std::vector<Scan_frame> &out);
    void takeAscii(std::vector<Scan_frame> &out);
    void takeTcp(std::vector<Scan_frame> &out);
    void takeUdp(const uint8_t *data, size_t n, std::vector<Scan_frame> &out);
    // The first k held bytes go out as noise.
    void dropFront(size_t k, std::vector<Scan_frame> &out);

    Scan_transport transport_;
    std::vector<uint8_t> held_;
    TcpFramer framer_;
};
