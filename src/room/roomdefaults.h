#pragma once

#include <QString>

// What a room is opened with unless someone says otherwise.
namespace TAVIXLibCtl::RoomDefaults {

inline constexpr int Port = 5120;
inline constexpr int Size = 5; // the host and four others
inline const QString ProductVersion = QStringLiteral(TAVIX_VERSION);

} // namespace TAVIXLibCtl::RoomDefaults
