// Host paths (as clients write them for "file_path" and "outPath") turned
// back into paths of this machine.
#pragma once

#include <string>

namespace flumina::host {

// Removes the userland prefix ("/data/data/com.korvane/files/home/debian-fs",
// after which a client may put one slash or two) and maps "/sdcard" and what
// is below it to `sdcardDir`. Any other path is used as it is.
std::string localPath(const std::string& hostPath, const std::string& sdcardDir);

// Empty when the device's host could reach `hostPath` (below the userland
// prefix or "/sdcard"); otherwise what is wrong with `key`'s value there.
std::string deviceReachProblem(const std::string& key, const std::string& hostPath);

}  // namespace flumina::host
