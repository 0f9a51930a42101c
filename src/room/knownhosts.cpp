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
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace TAVIXLibCtl {

namespace {

constexpr qsizetype kFingerprintBytes = 32; // SHA-256
// Another member may be writing; a lock held longer than this is stale.
constexpr int kLockWaitMs = 5000;

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

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
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

// Rewrites the file under the lock with what `change` makes of its lines;
// `change` returns false to leave the file as it is.
bool rewrite(const QString &path, QString *error,
             const std::function<bool(QList<QByteArray> &lines)> &change)
{
    QString why;
    if (!makePrivateFolder(QFileInfo(path).absolutePath(), &why)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, why);
        return false;
    }
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs)) {
        *error = QStringLiteral("cannot lock %1.lock").arg(path);
        return false;
    }
    QByteArray bytes;
    if (!readAll(path, &bytes, error))
        return false; // never replace what could not be read
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.constLast().isEmpty())
        lines.removeLast();
    if (!change(lines))
        return true;
    QSaveFile out(path);
    QByteArray text;
    for (const QByteArray &line : std::as_const(lines))
        text += line + '\n';
    if (!out.open(QIODevice::WriteOnly)
        || !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || out.write(text) != text.size() || !out.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

} // namespace

KnownHosts::KnownHosts(const QString &path) : m_path(path) {}

QString KnownHosts::defaultPath()
{
    return roomConfigDirectory() + QStringLiteral("/known_hosts");
}

KnownHosts::Pins KnownHosts::pins(const QString &address, quint16 port) const
{
    Pins pins;
    QByteArray bytes;
    if (!readAll(m_path, &bytes, &pins.error)) {
        pins.status = Pins::Status::Unreadable;
        return pins;
    }
    const QString wanted = normalAddress(address);
    int number = 0;
    for (const QByteArray &text : bytes.split('\n')) {
        ++number;
        const Line line = parseLine(text);
        if (line.address != wanted || (line.port && *line.port != port))
            continue;
        if (line.fingerprint.isEmpty()) {
            // A damaged line for this host could have been its pin.
            pins.status = Pins::Status::Unreadable;
            pins.error = QStringLiteral("%1, line %2: cannot read the key kept for %3")
                             .arg(m_path).arg(number).arg(wanted);
            pins.fingerprints.clear();
            return pins;
        }
        pins.status = Pins::Status::Known;
        if (!pins.fingerprints.contains(line.fingerprint))
            pins.fingerprints << line.fingerprint;
    }
    return pins;
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

bool KnownHosts::remember(const QString &address, quint16 port, const QByteArray &fingerprint,
                          bool replace, QString *error)
{
    const QString normal = normalAddress(address);
    QString why;
    const bool written = rewrite(m_path, &why, [&](QList<QByteArray> &lines) {
        bool kept = false;
        if (replace) {
            lines.removeIf([&](const QByteArray &text) {
                const Line line = parseLine(text);
                return line.address == normal && line.port == port;
            });
        } else {
            kept = std::any_of(lines.cbegin(), lines.cend(), [&](const QByteArray &text) {
                const Line line = parseLine(text);
                return line.address == normal && line.port == port && line.fingerprint == fingerprint;
            });
        }
        if (!kept)
            lines << formatLine(normal, port, fingerprint).chopped(1);
        return !kept;
    });
    if (!written && error)
        *error = why;
    return written;
}

int KnownHosts::forget(const QString &address, quint16 port, QString *error)
{
    if (!QFileInfo(m_path).exists())
        return 0;
    const QString normal = normalAddress(address);
    int forgotten = 0;
    QString why;
    const bool written = rewrite(m_path, &why, [&](QList<QByteArray> &lines) {
        // A damaged line for the address goes too: it would refuse every join.
        forgotten = int(lines.removeIf([&](const QByteArray &text) {
            const Line line = parseLine(text);
            return line.address == normal && (port == 0 || !line.port || *line.port == port);
        }));
        return forgotten > 0;
    });
    if (!written) {
        if (error)
            *error = why;
        return -1;
    }
    return forgotten;
}

} // namespace TAVIXLibCtl
