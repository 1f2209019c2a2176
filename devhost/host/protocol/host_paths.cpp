#include "host_paths.h"

#include "userland.h"

namespace flumina::host {
namespace {

bool startsWithDir(const std::string& path, const std::string& dir) {
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace

std::string deviceReachProblem(const std::string& key, const std::string& hostPath) {
    const std::string userland = userland::kPrefix, sdcard = userland::kSharedFolder;
    if (startsWithDir(hostPath, userland) || startsWithDir(hostPath, sdcard)) return {};
    return key + " " + hostPath + " is no path the device's host can reach: there it must lie below " + userland +
           " (a userland file, as the Python client's add() writes it) or below " + sdcard;
}

std::string localPath(const std::string& hostPath, const std::string& sdcardDir) {
    const std::string userland = userland::kPrefix;
    if (startsWithDir(hostPath, userland)) {
        std::string rest = hostPath.substr(userland.size());
        // The client joins prefix and absolute path with a slash of its own: "...debian-fs//home/x".
        const std::size_t slashes = rest.find_first_not_of('/');
        rest = slashes == std::string::npos ? "/" : "/" + rest.substr(slashes);
        return rest;
    }
    const std::string sdcard = userland::kSharedFolder;
    if (startsWithDir(hostPath, sdcard)) return sdcardDir + hostPath.substr(sdcard.size());
    return hostPath;
}

}  // namespace flumina::host
