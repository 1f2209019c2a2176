// Figures of one stream, written by its threads and read by the log and the live view.
#pragma once

#include <atomic>
#include <cstdint>

#include "stream_error.h"

namespace flumina::host {

struct StreamStats {
    std::atomic<std::uint64_t> delivered{0};    // frames written to the input channel
    std::atomic<std::uint64_t> dropped{0};      // live frames dropped from a full play-out buffer
    std::atomic<std::uint64_t> pushed{0};       // frames the client completed in the push channel
    std::atomic<std::uint64_t> missed{0};       // pushed frames overwritten before the host took them
    std::atomic<std::uint64_t> skipped{0};      // pushed frames of a size that fits no format
    std::atomic<std::uint64_t> overflowed{0};   // pushed frames dropped because the encoder was busy
    std::atomic<std::uint64_t> encoded{0};      // pushed frames sent to the encoders
    std::atomic<std::uint64_t> shown{0};        // frames the client completed in the display channel
    std::atomic<bool> inputEnded{false};        // the end-of-input frame is in the input channel
    std::atomic<bool> reconnecting{false};      // the live input was lost and is being opened again
    std::atomic<std::uint64_t> reconnections{0};  // times the live input came back
    StreamError error;                          // the last error of any of its threads
};

}  // namespace flumina::host
