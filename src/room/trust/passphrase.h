#pragma once

#include <QByteArrayView>
#include <QString>

#include <memory>
#include <vector>

namespace TAVIXLibCtl {

// A room's passphrase as the exchange uses it: NFKC-normalised and trimmed,
// so that full-width and half-width forms are the same passphrase, in UTF-8.
// Held in memory that is wiped when the last copy goes; never written
// anywhere.
class Passphrase
{
public:
    Passphrase() = default;
    // Wipes what it can of the text it was made from.
    static Passphrase fromTyped(QString typed);

    bool isEmpty() const { return !m_bytes || m_bytes->empty(); }
    QByteArrayView bytes() const;
    bool operator==(const Passphrase &other) const;

private:
    struct Wiped
    {
        void operator()(std::vector<unsigned char> *bytes) const;
    };
    std::shared_ptr<const std::vector<unsigned char>> m_bytes;
};

} // namespace TAVIXLibCtl
