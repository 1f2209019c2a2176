// Hands the live view one frame from a session thread when the view asks for
// it. While nobody asks, the session thread pays one atomic load per frame;
// when asked, a reference or one copy. It never waits for the view's work
// (the view holds the lock only to swap buffers): a busy view only gets
// fewer frames.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "libav.h"

namespace flumina::host {

// A frame as a session thread had it: a decoded picture, or the bytes of a channel frame.
struct TappedFrame {
    FramePtr picture = allocateFrame();
    std::vector<char> bytes;
};

class FrameTap {
public:
    // Session side: whether the view waits for a frame.
    bool wanted() const noexcept { return wanted_.load(std::memory_order_relaxed); }
    // Session side: gives the view a new reference to `picture`, if it asked.
    void offer(const AVFrame& picture);
    // Session side: gives the view a copy of `bytes`, if it asked.
    void offer(const std::vector<char>& bytes);

    // View side: asks for the next frame offered.
    void want() noexcept { wanted_.store(true, std::memory_order_relaxed); }
    // View side: gives up an open request and any frame not yet taken.
    void cancel();
    // View side: moves the frame offered since the last want() into `into`; false when none came yet.
    bool take(TappedFrame& into);

private:
    // Whether this offer answers the view's request (only one offer does).
    bool claim() noexcept { return wanted() && wanted_.exchange(false, std::memory_order_acquire); }

    std::atomic<bool> wanted_{false};
    std::mutex mutex_;
    TappedFrame frame_;
    bool full_ = false;
};

}  // namespace flumina::host
