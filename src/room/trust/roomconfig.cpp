#include "roomconfig.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace TAVIXLibCtl {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString roomConfigDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/tavix");
}

bool makePrivateFolder(const QString &folder, QString *error)
{
    const QString path = QDir::cleanPath(QDir(folder).absolutePath());
    // Made from the top down with mkdir(2) itself: QDir::mkpath gives a new
    // folder whatever the umask allows, 0777 under umask 000.
    qsizetype from = 1;
    while (from <= path.size()) {
        qsizetype slash = path.indexOf(u'/', from);
        if (slash < 0)
            slash = path.size();
        const QByteArray part = QFile::encodeName(path.left(slash));
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot create the folder %1: %2")
                         .arg(QFile::decodeName(part), systemError(errno));
            return false;
        }
        from = slash + 1;
    }
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(path);
        return false;
    }
    // One made by an earlier version, or by hand, may be open to others.
    if (info.st_uid == ::geteuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        if (::chmod(QFile::encodeName(path).constData(), S_IRWXU) != 0) {
            *error = QStringLiteral("%1 is open to others and cannot be made private: %2")
                         .arg(path, systemError(errno));
            return false;
        }
        qWarning("tavix: %ls was open to others; it is now private to its owner", qUtf16Printable(path));
    }
    return true;
}

} // namespace TAVIXLibCtl
