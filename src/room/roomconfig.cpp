#include "roomconfig.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace TAVIXLibCtl {

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
                         .arg(QFile::decodeName(part), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        from = slash + 1;
    }
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(path);
        return false;
    }
    return true;
}

} // namespace TAVIXLibCtl
