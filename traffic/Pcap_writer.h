// Saves a traffic history as a classic pcap capture (magic a1b2c3d4,
// version 2.4) that Wireshark and tshark read:
//  - TCP stations: each frame a TCP segment on raw IPv4 (link type 228) with
//    the connection's real addresses and ports, valid IPv4 and TCP checksums
//    and sequence numbers that run on per direction of each connection;
//    tshark decodes Modbus/TCP on port 502 by itself, on another port with
//    -d tcp.port==N,mbtcp. Frames of IPv6 peers are left out and counted:
//    the capture is IPv4 only. RTU frames carried on TCP connections (RTU
//    over TCP) are TCP segments too, decoded with -d tcp.port==N,mbrtu;
//    Modbus/UDP messages are UDP datagrams on IPv4 in the same capture,
//    decoded on port 502 by themselves, on another with -d udp.port==N,mbudp.
//  - RTU stations: each frame one packet of link type USER0 (147), to be
//    decoded as Modbus RTU with
//      -o 'uat:user_dlts:"User 0 (DLT=147)","mbrtu","0","","0",""'
//  - ASCII stations: refused (no dissector reads Modbus ASCII from a capture).
// "--" entries are no frames and are not written.
#pragma once

#include <cstdint>
#include <string>

#include "Traffic_file.h"

class Traffic_history;

constexpr uint32_t kLinktypeUser0 = 147;
constexpr uint32_t kLinktypeIpv4 = 228;

// Why this history cannot be saved as a capture; empty when it can.
std::string pcap_refusal(const Traffic_history &history);

Save_result save_traffic_pcap(const Traffic_history &history, const std::string &path);

// The file's header, and the header of one record whose packet keeps
// `captured` of its `original` bytes, as the saves above write them; for
// writers that add records as frames come.
std::string pcap_file_header(uint32_t linktype);
std::string pcap_record_header(int64_t time_ms, size_t captured, size_t original);
