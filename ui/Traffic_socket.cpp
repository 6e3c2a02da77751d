#include "Traffic_socket.h"

#include <QAbstractSocket>
#include <QHostAddress>

namespace {

Traffic_endpoint endpoint(const QHostAddress &address, quint16 port)
{
    if (address.isNull())
        return {};
    return Traffic_endpoint::parse(address.toString().toStdString(), port).value_or(Traffic_endpoint{});
}

}  // namespace

Traffic_link traffic_link(const QAbstractSocket &socket)
{
    return {.local = endpoint(socket.localAddress(), socket.localPort()),
            .peer = endpoint(socket.peerAddress(), socket.peerPort())};
}
