#include "Traffic_socket.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QNetworkDatagram>

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

Traffic_link traffic_link(const QNetworkDatagram &datagram, const QAbstractSocket &socket)
{
    const bool told = !datagram.destinationAddress().isNull() && datagram.destinationPort() > 0;
    return {.local = told ? endpoint(datagram.destinationAddress(), quint16(datagram.destinationPort()))
                          : endpoint(socket.localAddress(), socket.localPort()),
            .peer = endpoint(datagram.senderAddress(), quint16(datagram.senderPort())),
            .carrier = Traffic_carrier::Udp};
}
