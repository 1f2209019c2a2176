// Where pushed frames go on an output's time line, counted in frames of
// `outFrameRate`: the first frame at 0, each later one at its push time
// rounded to the grid, but never on a point already taken, so a frame pushed
// early goes to the next free point. A client that pushes at the output rate
// keeps its real timing; one that pushes faster keeps every frame, and its
// output runs ahead of real time by how much it is faster.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace flumina::host {

class FrameTimeline {
public:
    using Clock = std::chrono::steady_clock;

    explicit FrameTimeline(double frameRate) : frameRate_(frameRate) {}

    // The grid point of a frame pushed at `pushed`.
    std::int64_t place(Clock::time_point pushed);
    // Seconds by which the last frame placed lies after its push time.
    double secondsAhead() const { return static_cast<double>(last_ - lastIdeal_) / frameRate_; }

private:
    double frameRate_;
    std::optional<Clock::time_point> first_;
    std::int64_t last_ = -1;
    std::int64_t lastIdeal_ = -1;
};

}  // namespace flumina::host
