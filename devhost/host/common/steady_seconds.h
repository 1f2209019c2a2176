// Seconds given as a double, as the steady clock counts them.
#pragma once

#include <chrono>

namespace flumina::host {

inline std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace flumina::host
