// The host stream service runs outside the Linux userland of the clients and
// sees the userland's files below this folder; "/sdcard" is the same path in
// both views. Clients send "file_path" and "outPath" as such host paths.
#pragma once

namespace flumina::userland {

inline constexpr const char* kPrefix = "/data/data/com.korvane/files/home/debian-fs";
inline constexpr const char* kSharedFolder = "/sdcard";

}  // namespace flumina::userland
