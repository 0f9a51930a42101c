#include "hostidentity.h"

#include "roomconfig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace TAVIXLibCtl {

namespace {

// Long enough never to expire in use; members pin the certificate, not a date.
constexpr long kValiditySeconds = 100L * 365 * 24 * 60 * 60;
constexpr int kSerialBytes = 16;

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

// What OpenSSL said last, for a failure's detail; empty when it said nothing.
QString openSslError()
{
    QStringList errors;
    char text[256];
    while (const unsigned long code = ERR_get_error()) {
        ERR_error_string_n(code, text, sizeof text);
        errors << QString::fromLatin1(text);
    }
    return errors.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(errors.join(QStringLiteral("; ")));
}

QByteArray bioBytes(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

// A P-256 key and a self-signed certificate for it, both as PEM.
std::optional<QByteArray> makeIdentityPem()
{
    PKey key(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert)
        return std::nullopt;
    unsigned char serial[kSerialBytes];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return std::nullopt;
    serial[0] &= 0x7f; // a positive number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()))
                      && X509_set_version(cert.get(), 2) == 1
                      && X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0)
                      && X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds)
                      && X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN",
                                                    MBSTRING_ASC,
                                                    reinterpret_cast<const unsigned char *>("Tavix room"),
                                                    -1, -1, 0) == 1
                      && X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) == 1
                      && X509_set_pubkey(cert.get(), key.get()) == 1
                      && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    BN_free(number);
    if (!made)
        return std::nullopt;
    Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1
        || PEM_write_bio_X509(pem.get(), cert.get()) != 1) {
        return std::nullopt;
    }
    return bioBytes(pem.get());
}

// The key and its certificate, which must belong together.
std::optional<HostIdentity> parse(const QByteArray &pem)
{
    Bio in(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    PKey key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    Cert cert(key ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert || X509_check_private_key(cert.get(), key.get()) != 1)
        return std::nullopt;
    HostIdentity identity{QSslKey(pem, QSsl::Ec), QSslCertificate(pem, QSsl::Pem)};
    if (identity.key.isNull() || identity.certificate.isNull())
        return std::nullopt;
    return identity;
}

// Writes `pem` to `path` unless the file is there already, readable by the
// user alone. A link from a finished temporary file makes it appear whole.
bool publish(const QString &path, const QByteArray &pem, QString *error)
{
    const QString temporary = path + QStringLiteral(".%1.tmp").arg(::getpid());
    const auto privateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QFile file(temporary);
    // Created here and now, never one that was there: a file left by a dead
    // process of the same number, or a link someone planted, is removed
    // (the link, not what it points at) and the file made anew.
    bool opened = file.open(QIODevice::WriteOnly | QIODevice::NewOnly, privateFile);
    if (!opened && QFile::remove(temporary))
        opened = file.open(QIODevice::WriteOnly | QIODevice::NewOnly, privateFile);
    if (!opened) {
        *error = QStringLiteral("cannot write %1: %2").arg(temporary, file.errorString());
        return false;
    }
    // On disk before the name points at it: a crash leaves no empty key.
    if (file.write(pem) != pem.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(temporary, file.errorString());
        file.remove();
        return false;
    }
    file.close();
    const int linked = ::link(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData());
    const int linkError = errno;
    QFile::remove(temporary);
    if (linked != 0 && linkError != EEXIST) { // EEXIST: another process made it first
        *error = QStringLiteral("cannot create %1: %2").arg(path, systemError(linkError));
        return false;
    }
    return true;
}

// A key file must be the user's own and readable by no one else. One that
// others may read is tightened; one that belongs to someone else is not used.
bool keepPrivate(const QString &path, QString *error)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return true; // reading it says why
    if (info.st_uid != ::geteuid()) {
        *error = QStringLiteral("%1 belongs to another user (uid %2); it is not used").arg(path).arg(info.st_uid);
        return false;
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) == 0 || !S_ISREG(info.st_mode))
        return true;
    if (::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR) != 0) {
        *error = QStringLiteral("%1 is readable by others and cannot be made private: %2")
                     .arg(path, systemError(errno));
        return false;
    }
    qWarning("tavix: %ls was readable by others; it is now readable by its owner alone",
             qUtf16Printable(path));
    return true;
}

} // namespace

QString HostIdentity::defaultPath()
{
    return roomConfigDirectory() + QStringLiteral("/host-identity.pem");
}

QByteArray HostIdentity::fingerprint() const
{
    return certificate.digest(QCryptographicHash::Sha256);
}

std::optional<HostIdentity> HostIdentity::loadOrCreate(const QString &path, QString *error)
{
    if (!makePrivateFolder(QFileInfo(path).absolutePath(), error))
        return std::nullopt;
    if (!QFileInfo::exists(path)) {
        ERR_clear_error();
        const auto pem = makeIdentityPem();
        if (!pem) {
            *error = QStringLiteral("cannot make a key for %1%2").arg(path, openSslError());
            return std::nullopt;
        }
        if (!publish(path, *pem, error))
            return std::nullopt;
    }
    if (!keepPrivate(path, error))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    ERR_clear_error();
    auto identity = parse(file.readAll());
    if (!identity)
        *error = QStringLiteral("%1 holds no usable key and certificate%2").arg(path, openSslError());
    return identity;
}

} // namespace TAVIXLibCtl
