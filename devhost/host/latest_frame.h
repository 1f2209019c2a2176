// The latest frame a client showed, kept for whoever looks later.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace flumina::host {

class LatestFrame {
public:
    // Keeps `frame` by swapping buffers: `frame` gets the one kept before.
    void keep(std::vector<char>& frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.swap(frame);
        ++count_;
    }
    // Copies the latest frame into `into`; returns how many frames were kept so far (0: none, `into` untouched).
    std::uint64_t copy(std::vector<char>& into) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ > 0) into.assign(bytes_.begin(), bytes_.end());
        return count_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<char> bytes_;
    std::uint64_t count_ = 0;
};

}  // namespace flumina::host
