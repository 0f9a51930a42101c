#include "roomdoor.h"

#include "cpace.h"

#include <sodium.h>

#include <algorithm>

namespace TAVIXLibCtl::RoomDoor {

QByteArray channel(const QByteArray &hostFingerprint)
{
    return Cpace::prependLength("Tavix room") + Cpace::prependLength(hostFingerprint);
}

QByteArray session(const QByteArray &hostNonce, const QByteArray &memberNonce)
{
    return hostNonce + memberNonce;
}

QByteArray nonce()
{
    QByteArray bytes(kNonceBytes, '\0');
    if (sodium_init() < 0)
        return {};
    randombytes_buf(bytes.data(), size_t(bytes.size()));
    return bytes;
}

QString GuessLimit::sourceOf(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4).toString();
    // One machine on a LAN may hold any address of its /64.
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex()) + QStringLiteral("::/64");
}

GuessLimit::Duration GuessLimit::waitOf(const Source &source, Duration now) const
{
    if (source.failures < kFreeFailures || now - source.lastFailure >= kMemory)
        return Duration(0);
    const int doublings = std::min(source.failures - kFreeFailures, 6);
    const Duration wait = std::min(kLongestWait, Duration(1000) * (1 << doublings));
    return std::max(Duration(0), source.lastFailure + wait - now);
}

GuessLimit::Duration GuessLimit::tryAt(const QHostAddress &address, Duration now)
{
    const auto it = m_sources.constFind(sourceOf(address));
    if (it != m_sources.constEnd()) {
        if (const Duration wait = waitOf(*it, now); wait > Duration(0))
            return wait;
    }
    refill(now);
    if (m_budget < 1)
        return Duration(qint64((1 - m_budget) * 1000 / kPerSecond) + 1);
    return Duration(0);
}

void GuessLimit::refill(Duration now)
{
    m_budget = std::min<double>(kPerSecond, m_budget + double((now - m_budgetAt).count()) * kPerSecond / 1000);
    m_budgetAt = now;
}

void GuessLimit::failed(const QHostAddress &address, Duration now)
{
    const QString key = sourceOf(address);
    if (!m_sources.contains(key) && m_sources.size() >= kSources) {
        const auto quietest = std::min_element(m_sources.begin(), m_sources.end(), [](const Source &a, const Source &b) {
            return a.lastFailure < b.lastFailure;
        });
        m_sources.erase(quietest);
    }
    refill(now);
    m_budget -= 1;
    Source &source = m_sources[key];
    if (now - source.lastFailure >= kMemory)
        source.failures = 0;
    ++source.failures;
    source.lastFailure = now;
}

void GuessLimit::succeeded(const QHostAddress &address)
{
    m_sources.remove(sourceOf(address));
}

} // namespace TAVIXLibCtl::RoomDoor
