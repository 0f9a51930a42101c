#pragma once

#include <QString>

// The member data keys and values every member of a room understands.
namespace TAVIXLibCtl::MemberKeys {

inline const QString Name = QStringLiteral("name");
inline const QString Chat = QStringLiteral("chat");
// Kept by the room alone: Present while a slot holds a member, Absent after.
inline const QString Presence = QStringLiteral("cnt");
inline const QString Present = QStringLiteral("1");
inline const QString Absent = QStringLiteral("0");

// The keys nearly every message carries, for the wire to read without a
// copy of their own.
inline const QString Shared[] = {Chat, Name, Presence};

} // namespace TAVIXLibCtl::MemberKeys
