#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace TAVIXLibCtl {

// The hosts a member has joined, as an SSH client keeps them: one line per
// address and port, with the SHA-256 fingerprint of the host's certificate.
//
//     ADDRESS PORT FINGERPRINT-IN-HEX
//
// An address is kept as typed, but for case and the spelling of IP
// addresses; deleting a line forgets that host.
class KnownHosts
{
public:
    explicit KnownHosts(const QString &path = defaultPath());

    static QString defaultPath();
    QString path() const { return m_path; }

    std::optional<QByteArray> fingerprint(const QString &address, quint16 port) const;
    // Records a host joined for the first time; false when the file cannot be written.
    bool remember(const QString &address, quint16 port, const QByteArray &fingerprint);
    // Forgets the address at `port`, or at every port when it is 0; returns
    // how many were forgotten, or -1 when the file cannot be rewritten.
    int forget(const QString &address, quint16 port = 0);

private:
    QString m_path;
};

} // namespace TAVIXLibCtl
