#include "hostaddresses.h"

#include <QNetworkInterface>

namespace TAVIXLibCtl {

namespace {

bool reachable(const QHostAddress &address)
{
    switch (address.protocol()) {
    case QAbstractSocket::IPv4Protocol:
        // Qt counts the private ranges as global; loopback, link-local,
        // multicast and broadcast are not.
        return address.isGlobal();
    case QAbstractSocket::IPv6Protocol:
        // Site-local (fec0::/10) is withdrawn; an IPv4-mapped address
        // (::ffff:a.b.c.d) is an IPv4 one, which interfaces give as such.
        return address.isGlobal() && !address.isSiteLocal()
               && address.toIPv4Address() == 0;
    default:
        return false;
    }
}

} // namespace

QList<QHostAddress> addressesToGive(const QList<QHostAddress> &candidates)
{
    QList<QHostAddress> ipv4;
    QList<QHostAddress> ipv6;
    for (const QHostAddress &address : candidates) {
        if (!reachable(address))
            continue;
        auto &list = address.protocol() == QAbstractSocket::IPv4Protocol ? ipv4 : ipv6;
        if (!list.contains(address))
            list.append(address);
    }
    return ipv4 + ipv6;
}

QStringList addressesToGive()
{
    QList<QHostAddress> candidates;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        // An interface without a link (a bridge with nothing on it) reaches no one.
        const auto live = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
        if ((interface.flags() & live) != live)
            continue;
        for (const QNetworkAddressEntry &entry : interface.addressEntries())
            candidates.append(entry.ip());
    }
    QStringList texts;
    for (const QHostAddress &address : addressesToGive(candidates))
        texts.append(address.toString());
    return texts;
}

} // namespace TAVIXLibCtl
