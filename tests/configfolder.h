#pragma once

#include <QFile>
#include <QTemporaryDir>

// Points this user's configuration at a folder of the test's own, or at
// `path`, until it goes out of scope.
class ConfigFolder
{
public:
    explicit ConfigFolder(const QString &path = {}) : m_saved(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(path.isEmpty() ? m_folder.path() : path));
    }
    ~ConfigFolder() { qputenv("XDG_CONFIG_HOME", m_saved); }
    ConfigFolder(const ConfigFolder &) = delete;
    ConfigFolder &operator=(const ConfigFolder &) = delete;

private:
    QTemporaryDir m_folder;
    QByteArray m_saved;
};
