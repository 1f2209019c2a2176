// The host's half of the input channel handshake (contracts/channels.md). It
// sleeps on the region's write log until the client clears the ready flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>

#include "shm_region.h"

namespace flumina::host {

class InputChannelWriter {
public:
    explicit InputChannelWriter(korvane::ipc::dev::ShmRegion& region) : region_(region) {}

    // A new session starts with no frame in the channel.
    void reset();
    // Whether the client has taken the last frame.
    bool free();
    // Waits until free(); false when `stop` is set first, or the channel is shrunk (see checkIntact()). `waited` tells whether it was not free at first.
    bool waitUntilFree(const std::atomic<bool>& stop, bool* waited = nullptr);
    // Waits until free(), at most `timeout`; false when it is not.
    bool waitUntilFreeFor(std::chrono::milliseconds timeout);
    // Makes a wait look at its `stop` again.
    void wake();
    // Where a frame of `bytes` goes; only while free().
    char* payload(std::size_t bytes);
    // Makes the `bytes` written at payload() the client's.
    void publish(std::size_t bytes);
    // Tells the client that no frame will follow: flag set with a size word of 0.
    void publishEnd();
    // Throws std::runtime_error when another process shrank the channel: the client no longer sees what is written.
    void checkIntact() const;

private:
    bool wait(const std::atomic<bool>& stop, std::chrono::steady_clock::time_point deadline);

    korvane::ipc::dev::ShmRegion& region_;
};

}  // namespace flumina::host
