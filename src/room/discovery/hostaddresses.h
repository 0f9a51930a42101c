#pragma once

#include <QHostAddress>
#include <QList>
#include <QStringList>

namespace TAVIXLibCtl {

// The addresses of this machine that others can type to join a room it
// hosts: IPv4 first, then global and unique-local IPv6, each in the order
// given, without repeats. Loopback, link-local, multicast and unspecified
// addresses reach no one else and are left out.
QList<QHostAddress> addressesToGive(const QList<QHostAddress> &candidates);

// The same over the addresses of this machine's interfaces that are up and
// running, written as one types them.
QStringList addressesToGive();

} // namespace TAVIXLibCtl
