#include "roomaddress.h"

#include "wirecodec.h"

#include <QHostAddress>

#include <algorithm>

namespace TAVIXLibCtl::RoomAddress {

namespace {

// Digits only, 1-65535: no sign, no blanks, nothing a number reader forgives.
std::optional<quint16> portNumber(QStringView text)
{
    if (text.isEmpty() || text.size() > 5
        || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const uint n = text.toUInt();
    if (n < 1 || n > 65535)
        return std::nullopt;
    return quint16(n);
}

bool isIPv6(QStringView text)
{
    const QHostAddress address(text.toString());
    return address.protocol() == QAbstractSocket::IPv6Protocol;
}

} // namespace

std::optional<Target> parse(QStringView text, quint16 port)
{
    text = text.trimmed();
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || !isIPv6(text.sliced(1, close - 1)))
            return std::nullopt;
        const QString host = text.sliced(1, close - 1).toString();
        const QStringView rest = text.sliced(close + 1);
        if (rest.isEmpty())
            return Target{host, port};
        const auto named = rest.startsWith(u':') ? portNumber(rest.sliced(1)) : std::nullopt;
        if (!named)
            return std::nullopt;
        return Target{host, *named};
    }
    if (text.count(u':') != 1)
        return Target{text.toString(), port};
    const qsizetype colon = text.indexOf(u':');
    const auto named = portNumber(text.sliced(colon + 1));
    if (colon == 0 || !named)
        return std::nullopt;
    return Target{text.first(colon).toString(), *named};
}

QString format(const QString &address, quint16 port)
{
    const QString host = address.contains(u':') ? u'[' + address + u']' : address;
    if (port == Wire::kDefaultPort)
        return address;
    return host + u':' + QString::number(port);
}

} // namespace TAVIXLibCtl::RoomAddress
