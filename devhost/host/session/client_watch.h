// Tells when the client of a session is gone, so that the session ends at
// once rather than when its heartbeat falls silent. The Python client sends
// its process id as the caller and is watched through a pidfd; the native
// client sends 1 and keeps the connection it started the session on for its
// whole life, so that connection closing is its end.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "file_descriptor.h"

namespace flumina::host {

// The native client's caller value.
inline constexpr int kNativeCaller = 1;

class ClientWatch {
public:
    ClientWatch(int caller, std::uint64_t connection);
    ClientWatch(const ClientWatch&) = delete;
    ClientWatch& operator=(const ClientWatch&) = delete;

    // Whether the client is known to be gone; never blocks.
    bool gone();
    // Connection `connection` has closed; the client is gone if it was its own.
    void connectionClosed(std::uint64_t connection);
    // What ended, for the log: "process 1234 ended", "its connection closed".
    std::string ending() const;
    // How the client is watched, for the log; empty when it is not (only the heartbeat tells).
    const std::string& watching() const { return watching_; }

private:
    int caller_;
    std::uint64_t connection_;
    korvane::ipc::dev::FileDescriptor pidfd_;
    std::atomic<bool> closed_{false};
    std::string watching_;
};

}  // namespace flumina::host
