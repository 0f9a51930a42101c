#pragma once

#include <QByteArray>

namespace TAVIXLibCtl {

// Chooses Qt's own event dispatcher over GLib's, unless the user chose one.
// Call before the application object exists. GLib writes to its wake-up
// descriptor each time a socket notifier is switched on or off and each time
// an event is posted; Qt's dispatcher does neither, so a relayed line costs
// the host less than half the system calls.
inline void preferLeanEventLoop()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

} // namespace TAVIXLibCtl
