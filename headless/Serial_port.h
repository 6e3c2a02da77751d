// Opening a serial device for the programs without a window, through the
// link library's numbered ports: the device is tried first, so that a
// failure carries the system's reason (no such device, no permission, in
// use by another program) rather than the library's bare refusal.
#pragma once

#include <string>

#include "Serial_link.h"

// The device a link-library port number stands for: $CORVANE_COMn, else
// /dev/ttyS<n-1>.
std::string serial_port_device(int port);

// Opens port on link with the line settings: "" or the reason.
std::string open_serial_port(SerialLink &link, int port, int baud, char parity, int dataBits, int stopBits);
