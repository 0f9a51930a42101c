#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <optional>

namespace TAVIXLibCtl {

// This machine's key and certificate as a host. Made the first time a user
// hosts and kept, so that members see the same fingerprint every time.
struct HostIdentity
{
    QSslKey key;
    QSslCertificate certificate;

    // SHA-256 of the certificate, as members pin it.
    QByteArray fingerprint() const;

    // Loads the identity kept in `path`, making it first when there is none.
    // A file that cannot be read or is damaged is never replaced: the result
    // is empty and `error` says why, naming the file.
    static std::optional<HostIdentity> loadOrCreate(const QString &path, QString *error);
    static QString defaultPath();
};

} // namespace TAVIXLibCtl
