#pragma once

#include <QString>

#include <optional>

// Where a member asks to join, as a person types it: an address or a host
// name, with a port or without.
namespace TAVIXLibCtl::RoomAddress {

struct Target
{
    QString host;
    quint16 port = 0;
};

// "desk-7", "192.168.1.20" and "fd12::5" mean `port`; "desk-7:6000",
// "192.168.1.20:6000" and "[fd12::5]:6000" mean port 6000; "[fd12::5]"
// means `port`. A bare IPv6 literal has several colons and is always an
// address. Nothing when a port is named but is not one (0, above 65535,
// not digits) or the brackets hold no IPv6 address.
std::optional<Target> parse(QStringView text, quint16 port);

// How a box shows an address and a port, as parse() reads it back; the
// port is left out when it is Wire::kDefaultPort.
QString format(const QString &address, quint16 port);

} // namespace TAVIXLibCtl::RoomAddress
