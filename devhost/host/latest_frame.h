// The latest frame a client showed, kept for whoever looks later. A reader
// borrows it rather than copying it: while it is borrowed, the next frames
// go to a second buffer, so the thread that keeps frames never copies nor
// waits for a reader.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace flumina::host {

class LatestFrame {
public:
    using Frame = std::shared_ptr<const std::vector<char>>;

    // Keeps `frame` by swapping buffers: `frame` gets one that no reader holds.
    void keep(std::vector<char>& frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (latest_.use_count() > 1) {
            // Borrowed: set it aside as the spare, which a single reader has given back.
            if (spare_.use_count() > 1) spare_ = std::make_shared<std::vector<char>>();
            latest_.swap(spare_);
        }
        latest_->swap(frame);
        ++count_;
    }
    // The latest frame when more than `seen` frames were kept (else null), and how many were kept so far.
    std::pair<Frame, std::uint64_t> borrowAfter(std::uint64_t seen) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {count_ > seen ? latest_ : nullptr, count_};
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<std::vector<char>> latest_ = std::make_shared<std::vector<char>>();
    std::shared_ptr<std::vector<char>> spare_ = std::make_shared<std::vector<char>>();
    std::uint64_t count_ = 0;
};

}  // namespace flumina::host
