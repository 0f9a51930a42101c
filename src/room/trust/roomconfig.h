#pragma once

#include <QString>

namespace TAVIXLibCtl {

// Where this user's room keys live: the user's configuration folder, which
// follows XDG_CONFIG_HOME.
QString roomConfigDirectory();

// Makes `folder` and any missing parent readable by the user alone, as a
// folder that holds a private key must be. A `folder` of the user's already
// there that others may read or write is made private too, which standard
// error says; its parents are left as they are. False, with `error` naming
// the folder, when it cannot be made.
bool makePrivateFolder(const QString &folder, QString *error);

// What the system says of `error` (an errno), in the user's language.
QString systemError(int error);

} // namespace TAVIXLibCtl
