#include "heartbeat_watch.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace flumina::host {

std::string HeartbeatWatch::signature() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return "missing";
    std::ifstream in(path_);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_size) + ":" + text.substr(0, 64);
}

void HeartbeatWatch::restart() {
    last_ = signature();
    changed_ = std::chrono::steady_clock::now();
}

double HeartbeatWatch::secondsSinceChange() {
    const std::string now = signature();
    if (now != last_) {
        last_ = now;
        changed_ = std::chrono::steady_clock::now();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - changed_).count();
}

}  // namespace flumina::host
