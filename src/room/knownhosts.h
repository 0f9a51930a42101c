#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace TAVIXLibCtl {

// The hosts a member has joined, as an SSH client keeps them: one line per
// address and port, with the SHA-256 fingerprint of the host's certificate.
//
//     ADDRESS PORT FINGERPRINT-IN-HEX
//
// An address is kept as typed, but for case and the spelling of IP
// addresses, and compared the same way; deleting a line forgets that host.
//
// The file fails closed: one that is there but cannot be read, or whose line
// for an address is damaged, vouches for no host at that address. Lines this
// program does not understand are kept as they are. Every change rewrites the
// whole file under a lock, so that members writing at once lose nothing.
class KnownHosts
{
public:
    explicit KnownHosts(const QString &path = defaultPath());

    static QString defaultPath();
    QString path() const { return m_path; }

    struct Pins
    {
        enum class Status { Unknown, Known, Unreadable };
        Status status = Status::Unknown;
        QList<QByteArray> fingerprints; // Known: every pin kept for the host
        QString error;                  // Unreadable: why, naming the file
    };
    Pins pins(const QString &address, quint16 port) const;
    // Every address a readable key is kept for, spelt as pins() compares
    // them; none when the file cannot be read.
    QStringList addresses() const;

    // Records a host joined for the first time, or, with `replace`, instead
    // of the pins kept for it. False, with `error` naming the file, when the
    // file cannot be written.
    bool remember(const QString &address, quint16 port, const QByteArray &fingerprint,
                  bool replace = false, QString *error = nullptr);
    // Forgets the address at `port`, or at every port when it is 0; returns
    // how many were forgotten, or -1 when the file cannot be rewritten.
    int forget(const QString &address, quint16 port = 0, QString *error = nullptr);

private:
    QString m_path;
};

} // namespace TAVIXLibCtl
