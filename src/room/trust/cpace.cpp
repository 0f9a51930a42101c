#include "cpace.h"

#include <sodium.h>

#include <cstring>

namespace TAVIXLibCtl::Cpace {

namespace {

const QByteArray kDsi = QByteArrayLiteral("CPaceRistretto255");
// SHA-512 takes its input in blocks of this many bytes.
constexpr qsizetype kHashBlockBytes = 128;

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char *bytes(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

// The draft's lv_cat.
QByteArray lengthValues(std::initializer_list<QByteArrayView> parts)
{
    QByteArray out;
    for (const QByteArrayView part : parts)
        out += prependLength(part);
    return out;
}

} // namespace

void wipe(void *data, std::size_t size)
{
    sodium_memzero(data, size);
}

QByteArray prependLength(QByteArrayView bytesIn)
{
    // LEB128: seven bits a byte, lowest first.
    QByteArray out;
    quint64 length = quint64(bytesIn.size());
    do {
        auto byte = char(length & 0x7f);
        length >>= 7;
        if (length != 0)
            byte = char(byte | 0x80);
        out += byte;
    } while (length != 0);
    out.append(bytesIn.data(), bytesIn.size());
    return out;
}

QByteArray generatorString(QByteArrayView dsi, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid)
{
    // Zeros fill the hash's first block, so that the work done does not
    // depend on the passphrase's length.
    const qsizetype pad = std::max<qsizetype>(
            0, kHashBlockBytes - prependLength(prs).size() - prependLength(dsi).size() - 1);
    return lengthValues({dsi, prs, QByteArray(pad, '\0'), ci, sid});
}

QByteArray generator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid)
{
    if (!sodiumReady())
        return {};
    QByteArray text = generatorString(kDsi, prs, ci, sid);
    Secret<crypto_hash_sha512_BYTES> hash;
    crypto_hash_sha512(hash.data(), bytes(text), quint64(text.size()));
    sodium_memzero(text.data(), size_t(text.size())); // it holds the passphrase
    QByteArray point(crypto_core_ristretto255_BYTES, '\0');
    crypto_core_ristretto255_from_hash(reinterpret_cast<unsigned char *>(point.data()), hash.data());
    return point;
}

Exchange::Exchange(Role role, QByteArrayView prs, QByteArrayView ci, QByteArrayView sid, QByteArrayView ada,
                   QByteArrayView adb, QByteArrayView scalar)
    : m_role(role)
    , m_sid(sid.toByteArray())
    , m_ownAd((role == Role::Initiator ? ada : adb).toByteArray())
    , m_peerAd((role == Role::Initiator ? adb : ada).toByteArray())
{
    const QByteArray g = generator(prs, ci, sid);
    if (g.isEmpty())
        return;
    if (scalar.size() == kScalarBytes)
        std::memcpy(m_scalar.data(), scalar.data(), kScalarBytes);
    else
        crypto_core_ristretto255_scalar_random(m_scalar.data());
    QByteArray share(kShareBytes, '\0');
    if (crypto_scalarmult_ristretto255(reinterpret_cast<unsigned char *>(share.data()), m_scalar.data(),
                                       bytes(g))
        == 0)
        m_share = share;
}

Exchange::~Exchange() = default;

bool Exchange::receive(QByteArrayView peerShare)
{
    if (m_share.isEmpty() || m_keyed || peerShare.size() != kShareBytes)
        return false;
    // Fails for what is not an element and for the neutral element alike.
    Secret<kShareBytes> k;
    if (crypto_scalarmult_ristretto255(k.data(), m_scalar.data(), bytes(peerShare)) != 0)
        return false;
    m_peerShare = peerShare.toByteArray();
    const QByteArray &ya = m_role == Role::Initiator ? m_share : m_peerShare;
    const QByteArray &yb = m_role == Role::Initiator ? m_peerShare : m_share;
    const QByteArray &ada = m_role == Role::Initiator ? m_ownAd : m_peerAd;
    const QByteArray &adb = m_role == Role::Initiator ? m_peerAd : m_ownAd;

    crypto_hash_sha512_state state;
    const QByteArray head = prependLength(kDsi + "_ISK") + prependLength(m_sid);
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, bytes(head), quint64(head.size()));
    // K is a 32-byte element: its length prefix is that one byte.
    const unsigned char kPrefix = kShareBytes;
    crypto_hash_sha512_update(&state, &kPrefix, 1);
    crypto_hash_sha512_update(&state, k.data(), kShareBytes);
    const QByteArray transcript = lengthValues({ya, ada}) + lengthValues({yb, adb});
    crypto_hash_sha512_update(&state, bytes(transcript), quint64(transcript.size()));
    crypto_hash_sha512_final(&state, m_isk.data());
    sodium_memzero(&state, sizeof state);

    const QByteArray macLabel = QByteArrayLiteral("CPaceMac") + m_sid;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, bytes(macLabel), quint64(macLabel.size()));
    crypto_hash_sha512_update(&state, m_isk.data(), kKeyBytes);
    crypto_hash_sha512_final(&state, m_macKey.data());
    sodium_memzero(&state, sizeof state);
    m_keyed = true;
    return true;
}

QByteArray Exchange::sessionKey() const
{
    return m_keyed ? QByteArray(reinterpret_cast<const char *>(m_isk.data()), kKeyBytes) : QByteArray();
}

QByteArray Exchange::tagOver(QByteArrayView share, QByteArrayView ad) const
{
    const QByteArray message = lengthValues({share, ad});
    QByteArray tag(kTagBytes, '\0');
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, m_macKey.data(), kKeyBytes);
    crypto_auth_hmacsha512_update(&state, bytes(message), quint64(message.size()));
    crypto_auth_hmacsha512_final(&state, reinterpret_cast<unsigned char *>(tag.data()));
    sodium_memzero(&state, sizeof state);
    return tag;
}

QByteArray Exchange::confirmation() const
{
    return m_keyed ? tagOver(m_share, m_ownAd) : QByteArray();
}

bool Exchange::confirms(QByteArrayView peerTag) const
{
    if (!m_keyed || peerTag.size() != kTagBytes)
        return false;
    const QByteArray expected = tagOver(m_peerShare, m_peerAd);
    return sodium_memcmp(expected.constData(), peerTag.data(), kTagBytes) == 0;
}

} // namespace TAVIXLibCtl::Cpace
