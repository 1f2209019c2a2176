#include "client_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace flumina::host {

ClientWatch::ClientWatch(int caller, std::uint64_t connection) : caller_(caller), connection_(connection) {
    if (caller == kNativeCaller) {
        watching_ = "its connection";
        return;
    }
    if (caller <= 0) return;
    pidfd_ = korvane::ipc::dev::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, caller, 0)));
    if (pidfd_ || (errno != ESRCH && ::kill(caller, 0) == 0)) watching_ = "process " + std::to_string(caller);
}

bool ClientWatch::gone() {
    if (caller_ == kNativeCaller) return closed_.load();
    if (watching_.empty()) return false;
    if (pidfd_) {
        pollfd ended{pidfd_.get(), POLLIN, 0};
        return ::poll(&ended, 1, 0) > 0;
    }
    return ::kill(caller_, 0) != 0 && errno == ESRCH;
}

void ClientWatch::connectionClosed(std::uint64_t connection) {
    if (connection == connection_) closed_.store(true);
}

std::string ClientWatch::ending() const {
    return caller_ == kNativeCaller ? "its connection closed" : "process " + std::to_string(caller_) + " ended";
}

}  // namespace flumina::host
