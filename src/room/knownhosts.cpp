#include "knownhosts.h"

#include "hostidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSaveFile>

namespace TAVIXLibCtl {

namespace {

QString normalAddress(const QString &address)
{
    const QString trimmed = address.trimmed();
    QHostAddress literal;
    if (literal.setAddress(trimmed))
        return literal.toString();
    return trimmed.toLower();
}

struct Entry
{
    QString address;
    quint16 port = 0;
    QByteArray fingerprint;
};

std::optional<Entry> parseLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    if (fields.size() != 3)
        return std::nullopt;
    bool ok = false;
    const uint port = fields[1].toUInt(&ok);
    const QByteArray fingerprint = QByteArray::fromHex(fields[2]);
    if (!ok || port == 0 || port > 65535 || fingerprint.isEmpty())
        return std::nullopt;
    return Entry{QString::fromUtf8(fields[0]), quint16(port), fingerprint};
}

} // namespace

KnownHosts::KnownHosts(const QString &path) : m_path(path) {}

QString KnownHosts::defaultPath()
{
    return roomConfigDirectory() + QStringLiteral("/known_hosts");
}

std::optional<QByteArray> KnownHosts::fingerprint(const QString &address, quint16 port) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString wanted = normalAddress(address);
    while (!file.atEnd()) {
        const auto entry = parseLine(file.readLine());
        if (entry && entry->port == port && entry->address == wanted)
            return entry->fingerprint;
    }
    return std::nullopt;
}

bool KnownHosts::remember(const QString &address, quint16 port, const QByteArray &fingerprint)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QFile file(m_path);
    // One short appended line: concurrent members cannot tear it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray line = normalAddress(address).toUtf8() + ' ' + QByteArray::number(port) + ' '
                            + fingerprint.toHex() + '\n';
    return file.write(line) == line.size();
}

int KnownHosts::forget(const QString &address, quint16 port)
{
    QFile in(m_path);
    if (!in.open(QIODevice::ReadOnly))
        return 0;
    const QString wanted = normalAddress(address);
    QByteArray kept;
    int forgotten = 0;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine();
        const auto entry = parseLine(line);
        if (entry && entry->address == wanted && (port == 0 || entry->port == port))
            ++forgotten;
        else
            kept += line;
    }
    if (forgotten == 0)
        return 0;
    QSaveFile out(m_path);
    if (!out.open(QIODevice::WriteOnly) || out.write(kept) != kept.size() || !out.commit())
        return -1;
    return forgotten;
}

} // namespace TAVIXLibCtl
