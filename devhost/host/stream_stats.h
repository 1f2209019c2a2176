// Frame counters of one stream, written by its threads and read by the log.
#pragma once

#include <atomic>
#include <cstdint>

namespace flumina::host {

struct StreamStats {
    std::atomic<std::uint64_t> delivered{0};  // frames written to the input channel
    std::atomic<std::uint64_t> dropped{0};    // live frames the client had no room for
    std::atomic<std::uint64_t> encoded{0};    // pushed frames sent to the encoders
    std::atomic<std::uint64_t> shown{0};      // new frames seen on the display channel
    std::atomic<std::uint64_t> skipped{0};    // pushed frames of a size that fits no format
    std::atomic<std::uint64_t> torn{0};       // looks that met the client halfway through a write
};

}  // namespace flumina::host
