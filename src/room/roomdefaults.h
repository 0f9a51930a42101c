#pragma once

#include "wirecodec.h"

#include <QString>

// What a room is opened with unless someone says otherwise.
namespace TAVIXLibCtl::RoomDefaults {

inline constexpr int Port = Wire::kDefaultPort;
inline constexpr int Size = 5; // the host and four others
inline const QString ProductVersion = QStringLiteral(TAVIX_VERSION);

} // namespace TAVIXLibCtl::RoomDefaults
