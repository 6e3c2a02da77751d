// What the scan for devices sends to one device address, in each transport,
// and what the PDU of an answer says about the device. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Scan_transport : uint8_t {
    Rtu,           // binary frames with CRC on a serial line
    Ascii,         // ":" hexadecimal text with LRC on a serial line
    Tcp,           // Modbus/TCP header on a TCP connection
    Rtu_over_tcp,  // RTU frames on a TCP connection
    Udp,           // Modbus/TCP header, one message per datagram
};

// The transports whose messages carry a transaction id.
inline bool scan_has_transaction(Scan_transport t) { return t == Scan_transport::Tcp || t == Scan_transport::Udp; }
inline bool scan_is_serial(Scan_transport t) { return t == Scan_transport::Rtu || t == Scan_transport::Ascii; }

enum class Scan_probe : uint8_t {
    Holding_register,       // code 3, one register
    Input_register,         // code 4, one register
    Coil,                   // code 1, one coil
    Device_identification,  // code 43, MEI 14, basic objects from 0
};

// The PDU of the probe: function code and fields. index: from 0 in the
// probed table (not used by 43/14).
std::vector<uint8_t> scan_pdu(Scan_probe probe, uint16_t index);

// Reads the address the probe reads at, as the operator writes it: "40001"
// (or "400001") for the first holding register, "30001" an input register,
// "00001" a coil, or 1 to 9999 alone. index: from 0 in the table. False when
// the text is no address of the probe's table. 43/14 reads no address.
bool scan_address_index(const std::string &text, Scan_probe probe, uint16_t &index);
// The first address of the probe's table as written: "40001", "30001",
// "00001"; empty for 43/14.
std::string scan_first_address(Scan_probe probe);

// The whole request to unit in the transport; transaction goes into the
// header of Tcp and Udp.
std::vector<uint8_t> scan_request(Scan_transport transport, Scan_probe probe, uint8_t unit, uint16_t index,
                                  uint16_t transaction);

// The most bytes an answer to the probe takes in the transport (the scan
// waits that long on a slow line for an answer already begun).
size_t scan_answer_limit(Scan_transport transport, Scan_probe probe);

struct Scan_answer {
    enum Kind : uint8_t {
        Found,    // text: the value or "exception NN"; identity for 43/14
        Absent,   // exception 0A or 0B: a gateway saying no device is there
        Foreign,  // not an answer to this probe (another code, another size)
    };
    Kind kind = Foreign;
    std::string text{};
    std::string identity{};  // "vendor / product / revision" for 43/14
};

// What the PDU (function code first) of an answer says, for this probe.
Scan_answer read_scan_answer(Scan_probe probe, const uint8_t *pdu, size_t n);
