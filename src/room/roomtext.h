#pragma once

#include "roomtypes.h"

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// Every sentence a member reads about its room, in one place: the log lines
// that the window and the headless tool both write, and why a room ended.
namespace TAVIXLibCtl::RoomText {

// The name a member joins with when it gives none.
QString fallbackName();

// Status lines written before a room is open and after it has ended.
QString hosting();
QString connecting();
QString disconnected();

// The line for each change of member data that a log shows; `name` is the
// member's name as the room holds it when the change is raised.
QString arrived(const QString &name);
QString left(const QString &name);
QString said(const QString &name, const QString &line);
// said() as the pieces it joins, for a writer that copies each once to where
// the line goes.
std::array<QStringView, 3> saidPieces(const QString &name, const QString &line);
QString renamed(const QString &name, const QString &newName);

// The log line for a change of `key` to `value`, or nothing when the change
// is not shown. `nameOf` is asked only when there is a line to write.
template <typename NameOf>
std::optional<QString> logLine(const QString &key, const QString &value, NameOf nameOf);

// A certificate's SHA-256 in a form people can read aloud to each other:
// its first half as groups of four hex digits.
QString fingerprint(const QByteArray &sha256);
// The status display's line for the host's key.
QString hostKey(const QByteArray &sha256);
// The start of a key as a room announced it (hex), grouped as fingerprint() does.
QString keyPrefix(const QString &hex);
// The status display's line for the key a room announced.
QString announcedKey(const QString &hex);
// The status display's line when the host's key could not be kept.
QString keyNotKept(const QString &error);

// Why a room ended, as the status display says it and in English for a terminal.
QString reason(EndReason reason);
QString reasonInEnglish(EndReason reason);

} // namespace TAVIXLibCtl::RoomText

#include "memberkeys.h"

template <typename NameOf>
std::optional<QString> TAVIXLibCtl::RoomText::logLine(const QString &key, const QString &value,
                                                      NameOf nameOf)
{
    if (key == MemberKeys::Presence && value == MemberKeys::Present)
        return arrived(nameOf());
    if (key == MemberKeys::Presence && value == MemberKeys::Absent)
        return left(nameOf());
    if (key == MemberKeys::Chat)
        return said(nameOf(), value);
    if (key == MemberKeys::Name)
        return renamed(nameOf(), value);
    return std::nullopt;
}
