// The two ends of a connected socket as the traffic history keeps them.
#pragma once

#include "Station_traffic.h"

class QAbstractSocket;
class QNetworkDatagram;

// Read once per connection (it makes text of the addresses), not per frame.
// An end the socket does not know (not connected) stays empty.
Traffic_link traffic_link(const QAbstractSocket &socket);
// The ends of one datagram received on socket: its sender, and the address
// it was sent to (the socket's own when the system does not say); carried
// as Modbus/UDP.
Traffic_link traffic_link(const QNetworkDatagram &datagram, const QAbstractSocket &socket);
