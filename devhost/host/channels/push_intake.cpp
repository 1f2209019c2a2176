#include "push_intake.h"

#include "log.h"

namespace flumina::host {
namespace {

// An output this far ahead of real time means the client pushes faster than its outFrameRate.
constexpr double kAheadToMention = 1.0;

}  // namespace

PushIntake::PushIntake(PushIntakeSettings settings, PushedFrameQueue& queue, StreamStats& stats)
    : settings_(settings), queue_(queue), stats_(stats), timeline_(settings.frameRate) {}

std::optional<AVPixelFormat> PushIntake::formatOf(std::size_t bytes) const {
    if (bytes == settings_.outSize.rgbBytes()) return settings_.rgbFormat;
    if (bytes == settings_.outSize.nv12Bytes()) return AV_PIX_FMT_NV12;
    return std::nullopt;
}

double PushIntake::perSecond(std::uint64_t frames, Clock::time_point at) const {
    const double seconds = std::chrono::duration<double>(at - *firstPush_).count();
    return seconds > 0 ? static_cast<double>(frames) / seconds : 0;
}

void PushIntake::accept(std::vector<char>& frame, const TakenFrame& taken, Clock::time_point at) {
    const std::string stream = logLine("stream ", settings_.index, ": ");
    if (!firstPush_) firstPush_ = at;
    stats_.pushed.fetch_add(1 + taken.missed, std::memory_order_relaxed);
    if (taken.missed > 0) {
        stats_.missed.fetch_add(taken.missed, std::memory_order_relaxed);
        if (!warnedMissed_)
            log().line(logLine(stream, taken.missed, " pushed frames were overwritten before the host could take them"));
        warnedMissed_ = true;
    }

    const std::optional<AVPixelFormat> format = formatOf(taken.bytes);
    if (!format || !taken.sound(frame)) {
        stats_.skipped.fetch_add(1, std::memory_order_relaxed);
        if (!warnedSize_) {
            const FrameSize& size = settings_.outSize;
            log().line(!format
                           ? logLine(stream, "skipping pushed frames of ", taken.bytes, " bytes: ", size.width, " x ",
                                     size.height, " needs ", size.rgbBytes(), " (3 bytes a pixel) or ",
                                     size.nv12Bytes(), " (NV12)")
                           : logLine(stream, "skipping a pushed frame whose size word says ", taken.bytes,
                                     " bytes but whose payload write held ", taken.written));
        }
        warnedSize_ = true;
        return;
    }

    PushedFrame pushed{std::move(frame), *format, timeline_.place(at)};
    if (!warnedFast_ && timeline_.secondsAhead() > kAheadToMention) {
        log().line(logLine(stream, "the client pushes faster than outFrameRate ", settings_.frameRate, " (at ",
                           fps(perSecond(stats_.pushed.load(), at)),
                           "): every frame is kept, so the output plays slower than it was pushed"));
        warnedFast_ = true;
    }
    if (queue_.put(pushed, !settings_.live)) {
        frame = queue_.spare();
        return;
    }
    frame = std::move(pushed.bytes);
    stats_.overflowed.fetch_add(1, std::memory_order_relaxed);
    if (!warnedBusy_)
        log().line(logLine(stream, "the client pushes at ", fps(perSecond(stats_.pushed.load(), at)),
                           ", faster than the encoder takes frames (", fps(perSecond(stats_.encoded.load(), at)),
                           "): dropping the frames it has no room for"));
    warnedBusy_ = true;
}

}  // namespace flumina::host
