// What the live view knows: the running session's streams with their
// figures and frame sources, how the last session ended, and the last
// error. Sessions are attached and detached by the session manager; the
// view's threads read it. Once detach() returns, nothing of the session is
// touched again but its taps, which the view may still hold. No frame is
// copied under the lock that attach(), detach() and status() take.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame_format.h"
#include "libav.h"
#include "rate_meter.h"
#include "view_tile.h"
#include "viewed_session.h"

namespace flumina::host {

// Where a tile's frames come from.
struct TileSource {
    std::shared_ptr<FrameTap> tap;   // input and pushed frames; null for shown ones
    std::vector<FrameSize> sizes;    // the sizes its frames are expected at, most likely first
    std::string absent;              // why the stream has no such frames, when it has none
};

class ViewBoard {
public:
    using Clock = std::chrono::steady_clock;

    ViewBoard(PixelOrder pixelOrder, VideoCodec codec);
    ~ViewBoard();
    ViewBoard(const ViewBoard&) = delete;
    ViewBoard& operator=(const ViewBoard&) = delete;

    // A session started; it replaces any attached one.
    void attach(ViewedSession session);
    // The attached session stops, for `reason`.
    void detach(const std::string& reason);
    // A session could not start; `error` holds why.
    void refused(const std::exception_ptr& error);
    // An error of the log: the host's last, and the session's when no stream
    // keeps it as its own (streams' errors come from their StreamStats).
    void noteError(const std::string& text, bool ofStream);
    // Called after attach, detach and refused, on their thread and outside the board's lock.
    void onChange(std::function<void()> listener);

    // The figures, as /status serves them.
    nlohmann::json status(Clock::time_point now = Clock::now());
    // The attached session's number (counted from 1), 0 when none runs.
    std::uint64_t sessionId() const;
    AVPixelFormat rgbFormat() const { return rgbFormat_; }

    // Where the frames of `tile` come from; nullopt when its session or stream no longer runs.
    std::optional<TileSource> source(const Tile& tile) const;
    using ShownFrame = std::shared_ptr<const std::vector<char>>;
    // A copy of the latest frame the tile's stream showed when it is newer than
    // the `seen`th (else null, also when the client was caught writing one),
    // and the number of frames shown so far; nullopt when the stream no longer runs.
    std::optional<std::pair<ShownFrame, std::uint64_t>> shownAfter(const Tile& tile, std::uint64_t seen) const;

private:
    struct Stream;
    struct Session;
    const Stream* findLocked(const Tile& tile) const;

    AVPixelFormat rgbFormat_;
    const char* codec_;
    // Taken shared while a shown frame is copied, outside mutex_; attach() and detach() take it whole.
    mutable std::shared_mutex attachment_;
    mutable std::mutex mutex_;  // after attachment_, when both are taken
    std::unique_ptr<Session> session_;
    std::uint64_t sessions_ = 0;       // sessions attached so far
    nlohmann::json lastSession_;       // {"id", "ended"} of the last one detached
    std::string lastError_;
    std::function<void()> changed_;
};

}  // namespace flumina::host
