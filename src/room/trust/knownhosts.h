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
// whole file under a lock, so that members writing at once lose nothing; a
// host's key is judged under the same lock, so that two members visiting a
// host at once cannot both keep a first key for it.
class KnownHosts
{
public:
    // How long a member waits for another's change to the file before it
    // judges a host's key without the lock, keeping nothing.
    static constexpr int kLockWaitMs = 5000;

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

    // What a member may do with the host at `address` and `port` that shows
    // `fingerprint`.
    struct Decision
    {
        enum class Outcome {
            Join,       // the key is kept for the host, now or before
            Changed,    // another key is kept for it
            Unreadable, // the kept keys cannot be read: none vouches for it
            Busy,       // another process holds the lock: ask again later
        };
        Outcome outcome = Outcome::Join;
        QList<QByteArray> kept; // Changed: the keys kept for the host
        QString error;          // Unreadable: why; Join: why the key could not be kept
    };
    enum class Locking {
        Try,  // Busy when another process holds the lock
        Wait, // up to kLockWaitMs, then as Skip
        Skip, // judged without the lock, keeping nothing
    };
    // Reads, judges and keeps under the file's lock: a kept key lets the host
    // in; with none kept, the key is kept as the host's first; with
    // `replace`, in place of those kept.
    Decision decide(const QString &address, quint16 port, const QByteArray &fingerprint, bool replace,
                    Locking locking) const;
    // decide() with Wait, for callers off a user's event loop: true when the
    // key is kept for the host; `error` says why not.
    bool remember(const QString &address, quint16 port, const QByteArray &fingerprint,
                  bool replace = false, QString *error = nullptr);
    // Forgets the address at `port`, or at every port when it is 0; returns
    // how many were forgotten, or -1 when the file cannot be rewritten.
    int forget(const QString &address, quint16 port = 0, QString *error = nullptr);

private:
    QString m_path;
};

} // namespace TAVIXLibCtl
