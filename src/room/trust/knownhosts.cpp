#include "knownhosts.h"

#include "roomconfig.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLockFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace TAVIXLibCtl {

namespace {

constexpr qsizetype kFingerprintBytes = 32; // SHA-256

QString normalAddress(QStringView address)
{
    const QString trimmed = address.trimmed().toString();
    QHostAddress literal;
    if (literal.setAddress(trimmed))
        return literal.toString();
    return trimmed.toLower();
}

// One line as far as it can be read. A line is about `address` when its first
// field names it, whatever else is wrong with it.
struct Line
{
    QString address;
    std::optional<quint16> port;
    QByteArray fingerprint; // empty when the line is damaged
};

Line parseLine(const QByteArray &bytes)
{
    const QList<QByteArray> fields = bytes.simplified().split(' ');
    Line line;
    if (fields.isEmpty() || fields[0].isEmpty())
        return line;
    line.address = normalAddress(QString::fromUtf8(fields[0]));
    bool ok = false;
    const uint port = fields.size() > 1 ? fields[1].toUInt(&ok) : 0;
    if (ok && port >= 1 && port <= 65535)
        line.port = quint16(port);
    if (fields.size() == 3 && line.port && fields[2].size() == 2 * kFingerprintBytes) {
        const QByteArray fingerprint = QByteArray::fromHex(fields[2]);
        // fromHex skips what is not hex: the length shows it.
        if (fingerprint.size() == kFingerprintBytes
            && fields[2].toLower() == fingerprint.toHex())
            line.fingerprint = fingerprint;
    }
    return line;
}

QByteArray formatLine(const QString &address, quint16 port, const QByteArray &fingerprint)
{
    return address.toUtf8() + ' ' + QByteArray::number(port) + ' ' + fingerprint.toHex() + '\n';
}

// The file's bytes; empty and true when there is none; false with `error`
// when it is there but cannot be read.
bool readAll(const QString &path, QByteArray *bytes, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        *error = QStringLiteral("cannot read %1: %2").arg(path, systemError(errno));
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("cannot read %1: it is not a file").arg(path);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

bool writeLines(const QString &path, const QList<QByteArray> &lines, QString *error)
{
    QSaveFile out(path);
    QByteArray text;
    for (const QByteArray &line : lines)
        text += line + '\n';
    if (!out.open(QIODevice::WriteOnly)
        || !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || out.write(text) != text.size() || !out.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

enum class Locked { Yes, Busy, No };

// Takes the file's lock as `locking` says; No, with `error`, when it cannot.
Locked lockFor(QLockFile &lock, const QString &path, KnownHosts::Locking locking, QString *error)
{
    QString why;
    if (!makePrivateFolder(QFileInfo(path).absolutePath(), &why)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        return Locked::No;
    }
    if (locking != KnownHosts::Locking::Skip
        && lock.tryLock(locking == KnownHosts::Locking::Wait ? KnownHosts::kLockWaitMs : 0))
        return Locked::Yes;
    if (locking == KnownHosts::Locking::Try && lock.error() == QLockFile::LockFailedError)
        return Locked::Busy;
    *error = QStringLiteral("cannot lock %1.lock").arg(path);
    return Locked::No;
}

// What `lines` keep for `address` (normalised) at `port`.
KnownHosts::Pins pinsIn(const QList<QByteArray> &lines, const QString &address, quint16 port, const QString &path)
{
    KnownHosts::Pins pins;
    int number = 0;
    for (const QByteArray &text : lines) {
        ++number;
        const Line line = parseLine(text);
        if (line.address != address || (line.port && *line.port != port))
            continue;
        if (line.fingerprint.isEmpty()) {
            // A damaged line for this host could have been its pin.
            pins.status = KnownHosts::Pins::Status::Unreadable;
            pins.error = QStringLiteral("%1, line %2: cannot read the key kept for %3").arg(path).arg(number).arg(address);
            pins.fingerprints.clear();
            return pins;
        }
        pins.status = KnownHosts::Pins::Status::Known;
        if (!pins.fingerprints.contains(line.fingerprint))
            pins.fingerprints << line.fingerprint;
    }
    return pins;
}

} // namespace

KnownHosts::KnownHosts(const QString &path) : m_path(path) {}

QString KnownHosts::defaultPath()
{
    return roomConfigDirectory() + QStringLiteral("/known_hosts");
}

KnownHosts::Pins KnownHosts::pins(const QString &address, quint16 port) const
{
    QByteArray bytes;
    QString error;
    if (!readAll(m_path, &bytes, &error))
        return {Pins::Status::Unreadable, {}, error};
    return pinsIn(linesOf(bytes), normalAddress(address), port, m_path);
}

QStringList KnownHosts::addresses() const
{
    QByteArray bytes;
    QString error;
    if (!readAll(m_path, &bytes, &error))
        return {};
    QStringList found;
    for (const QByteArray &text : bytes.split('\n')) {
        if (const Line line = parseLine(text); !line.fingerprint.isEmpty())
            found << line.address;
    }
    return found;
}

KnownHosts::Decision KnownHosts::decide(const QString &address, quint16 port, const QByteArray &fingerprint,
                                        bool replace, Locking locking) const
{
    using Outcome = Decision::Outcome;
    QLockFile lock(m_path + QStringLiteral(".lock"));
    QString notKept;
    const Locked locked = lockFor(lock, m_path, locking, &notKept);
    if (locked == Locked::Busy)
        return {Outcome::Busy, {}, {}};
    QByteArray bytes;
    QString error;
    if (!readAll(m_path, &bytes, &error))
        return {Outcome::Unreadable, {}, error};
    QList<QByteArray> lines = linesOf(bytes);
    const QString normal = normalAddress(address);
    const Pins pins = pinsIn(lines, normal, port, m_path);
    if (pins.status == Pins::Status::Unreadable)
        return {Outcome::Unreadable, {}, pins.error};
    if (pins.status == Pins::Status::Known && pins.fingerprints.contains(fingerprint)
        && (!replace || pins.fingerprints.size() == 1))
        return {};
    if (pins.status == Pins::Status::Known && !replace)
        return {Outcome::Changed, pins.fingerprints, {}};
    if (locked == Locked::No)
        return {Outcome::Join, {}, notKept};
    lines.removeIf([&](const QByteArray &text) {
        const Line line = parseLine(text);
        return line.address == normal && line.port == port;
    });
    lines << formatLine(normal, port, fingerprint).chopped(1);
    writeLines(m_path, lines, &error);
    return {Outcome::Join, {}, error};
}

bool KnownHosts::remember(const QString &address, quint16 port, const QByteArray &fingerprint, bool replace,
                          QString *error)
{
    const Decision decision = decide(address, port, fingerprint, replace, Locking::Wait);
    if (error) {
        *error = decision.outcome == Decision::Outcome::Changed
                     ? QStringLiteral("%1: another key is kept for %2 at port %3").arg(m_path, address).arg(port)
                     : decision.error;
    }
    return decision.outcome == Decision::Outcome::Join && decision.error.isEmpty();
}

int KnownHosts::forget(const QString &address, quint16 port, QString *error)
{
    if (!QFileInfo(m_path).exists())
        return 0;
    const QString normal = normalAddress(address);
    QString why;
    QLockFile lock(m_path + QStringLiteral(".lock"));
    QByteArray bytes;
    if (lockFor(lock, m_path, Locking::Wait, &why) != Locked::Yes || !readAll(m_path, &bytes, &why)) {
        if (error)
            *error = why;
        return -1;
    }
    QList<QByteArray> lines = linesOf(bytes);
    // A damaged line for the address goes too: it would refuse every join.
    const auto forgotten = int(lines.removeIf([&](const QByteArray &text) {
        const Line line = parseLine(text);
        return line.address == normal && (port == 0 || !line.port || *line.port == port);
    }));
    if (forgotten > 0 && !writeLines(m_path, lines, &why)) {
        if (error)
            *error = why;
        return -1;
    }
    return forgotten;
}

} // namespace TAVIXLibCtl
