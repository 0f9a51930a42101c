#include "passphrase.h"

#include "cpace.h"

#include <sodium.h>

namespace TAVIXLibCtl {

void Passphrase::Wiped::operator()(std::vector<unsigned char> *bytes) const
{
    Cpace::wipe(bytes->data(), bytes->size());
    delete bytes;
}

Passphrase Passphrase::fromTyped(QString typed)
{
    // Normalised first, so that an ideographic space is trimmed as well.
    QString normal = typed.normalized(QString::NormalizationForm_KC).trimmed();
    QByteArray utf8 = normal.toUtf8();
    Passphrase passphrase;
    if (!utf8.isEmpty())
        passphrase.m_bytes.reset(new std::vector<unsigned char>(utf8.cbegin(), utf8.cend()), Wiped{});
    for (QString *text : {&typed, &normal}) {
        if (!text->isEmpty())
            Cpace::wipe(text->data(), size_t(text->size()) * sizeof(QChar));
    }
    Cpace::wipe(utf8.data(), size_t(utf8.size()));
    return passphrase;
}

QByteArrayView Passphrase::bytes() const
{
    if (isEmpty())
        return {};
    return {reinterpret_cast<const char *>(m_bytes->data()), qsizetype(m_bytes->size())};
}

bool Passphrase::operator==(const Passphrase &other) const
{
    const QByteArrayView a = bytes();
    const QByteArrayView b = other.bytes();
    return a.size() == b.size() && (a.isEmpty() || sodium_memcmp(a.data(), b.data(), size_t(a.size())) == 0);
}

} // namespace TAVIXLibCtl
