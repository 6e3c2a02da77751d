// The two ends of a connected socket as the traffic history keeps them.
#pragma once

#include "Station_traffic.h"

class QAbstractSocket;

// Read once per connection (it makes text of the addresses), not per frame.
// An end the socket does not know (not connected) stays empty.
Traffic_link traffic_link(const QAbstractSocket &socket);
