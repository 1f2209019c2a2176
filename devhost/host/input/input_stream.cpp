#include "input_stream.h"

#include <chrono>
#include <cmath>

#include "log.h"
#include "steady_seconds.h"
#include "thread_name.h"

namespace flumina::host {
namespace {

using Clock = std::chrono::steady_clock;

// A recorded input that falls this far behind (its client took longer than a
// frame period) is paced on from where it is rather than catching up in a
// burst: a client that pushes what it reads would then push faster than its
// output's frame rate, and its frames would drift off their real time.
constexpr auto kLateSlack = std::chrono::milliseconds(5);
// How long a stopping session waits for its client to take a frame it holds.
constexpr auto kLastFrameGrace = std::chrono::milliseconds(500);
// How long the end of the input keeps its flag back after its size word, for
// a client put off between reading the two (see publishEnd).
constexpr auto kEndFlagGap = std::chrono::milliseconds(100);
// Reconnecting waits this long before its first attempt, then twice as long
// after each failure, up to the longest.
constexpr double kFirstBackOff = 0.25;
constexpr double kLongestBackOff = 4;

}  // namespace

InputStream::InputStream(InputStreamSettings settings, std::unique_ptr<FrameSource> source, Reopen reopen,
                         korvane::ipc::dev::ShmRegion& channel, StreamStats& stats, const std::atomic<bool>& stop)
    : settings_(settings), source_(std::move(source)), reopen_(std::move(reopen)), channel_(channel),
      scaler_(settings.frameSize, settings.pixelFormat, settings.threads), stats_(stats), stop_(stop),
      name_(logLine("stream ", settings.index)) {}

InputStream::~InputStream() { join(); }

void InputStream::start() {
    if (source_->recorded()) {
        thread_ = std::thread([this] { runRecorded(); });
        return;
    }
    thread_ = std::thread([this] { decodeLive(); });
    deliverer_ = std::thread([this] { deliverLive(); });
}

void InputStream::join() {
    if (thread_.joinable()) thread_.join();
    if (deliverer_.joinable()) deliverer_.join();
}

void InputStream::wake() {
    channel_.wake();
    buffer_.wake();
}

void InputStream::logEnd(const std::string& reason, bool again) {
    log().line(logLine(name_, ": ", reason == FrameSource::kEndOfInput ? reason : "input ends: " + reason, " after ",
                       stats_.delivered.load(), " frames delivered, ", stats_.dropped.load(), " dropped",
                       again ? "; starting again (--loop)" : ""));
}

void InputStream::runRecorded() {
    nameThisThread(logLine("decode ", settings_.index));
    try {
        for (;;) {
            if (!play()) break;
            logEnd(source_->endReason(), settings_.loop);
            if (!settings_.loop) break;
            source_.reset();
            source_ = reopen_(settings_.openTimeout);
            originSet_ = false;
        }
    } catch (const std::exception& e) {
        if (!stop_.load()) stats_.error.report(settings_.index, logLine("input stopped: ", e.what()));
    }
    endInput();
}

void InputStream::decodeLive() {
    nameThisThread(logLine("decode ", settings_.index));
    for (;;) {
        std::string lost;
        bool failed = false;
        try {
            while (!over()) {
                const AVFrame* frame = source_->next();
                if (frame == nullptr) break;
                const std::size_t dropped = buffer_.push(*frame, source_->secondsOf(*frame));
                if (dropped > 0) stats_.dropped.fetch_add(dropped, std::memory_order_relaxed);
            }
            lost = source_->endReason();
        } catch (const std::exception& e) {
            lost = e.what();
            failed = true;
        }
        if (over()) break;
        if (settings_.reconnect <= 0 || (!failed && source_->endsForGood())) {
            if (failed) stats_.error.report(settings_.index, logLine("input stopped: ", lost));
            else logEnd(lost, false);
            break;
        }
        if (!reconnect(lost)) break;
    }
    if (!over() && settings_.liveInputOver) settings_.liveInputOver();
    buffer_.finish();
}

bool InputStream::over() const { return stop_.load(std::memory_order_relaxed) || deliveryOver_.load(); }

bool InputStream::reconnect(const std::string& why) {
    source_.reset();  // its connection, if any, goes now
    stats_.reconnecting.store(true);
    log().line(logLine(name_, ": input lost (", why, ") after ", stats_.delivered.load(), " frames delivered; reconnecting for up to ",
                       settings_.reconnect, " s"));
    const auto lost = Clock::now();
    const auto giveUp = lost + toDuration(settings_.reconnect);
    double backOff = kFirstBackOff;
    std::string failure = why;
    for (;;) {
        const auto attempt = std::min(Clock::now() + toDuration(backOff), giveUp);
        while (Clock::now() < attempt && !over())
            std::this_thread::sleep_for(std::min<Clock::duration>(attempt - Clock::now(), std::chrono::milliseconds(50)));
        if (over()) return false;
        const double left = std::chrono::duration<double>(giveUp - Clock::now()).count();
        if (left <= 0) break;
        try {
            std::unique_ptr<FrameSource> source = reopen_(std::min(settings_.openTimeout, left));
            if (source->endsForGood()) {  // over before it began (a replay past its recording's end)
                stats_.reconnecting.store(false);
                logEnd(source->endReason(), false);
                return false;
            }
            if (source->recorded()) {
                log().line(logLine(name_, ": the input is a recording now (", source->description(),
                                   "): its live stream is over"));
                stats_.reconnecting.store(false);
                return false;
            }
            source_ = std::move(source);
            buffer_.restartClock();
            stats_.reconnecting.store(false);
            stats_.reconnections.fetch_add(1, std::memory_order_relaxed);
            log().line(logLine(name_, ": input back after ",
                               std::round(std::chrono::duration<double>(Clock::now() - lost).count() * 10) / 10,
                               " s: ", source_->description()));
            return true;
        } catch (const std::exception& e) {
            if (over()) return false;
            failure = e.what();
        }
        backOff = std::min(backOff * 2, kLongestBackOff);
    }
    stats_.reconnecting.store(false);
    log().line(logLine(name_, ": input gone: not back within ", settings_.reconnect, " s (", failure, "); ",
                       stats_.delivered.load(), " frames delivered, ", stats_.dropped.load(), " dropped"));
    return false;
}

void InputStream::deliverLive() {
    nameThisThread(logLine("deliver ", settings_.index));
    try {
        // The channel first: once free it stays free until this thread fills it.
        while (channel_.waitUntilFree(stop_)) {
            FramePtr frame = buffer_.waitForDue(stop_);
            if (!frame) break;
            deliver(*frame);
        }
        channel_.checkIntact();
    } catch (const std::exception& e) {
        if (!stop_.load()) stats_.error.report(settings_.index, logLine("input stopped: ", e.what()));
    }
    // No more decoding for a buffer nobody empties.
    deliveryOver_.store(true);
    endInput();
}

void InputStream::deliver(const AVFrame& frame) {
    const std::size_t bytes = settings_.frameSize.rgbBytes();
    scaler_.scaleToPacked(frame, channel_.payload(bytes));
    channel_.publish(bytes);
    channel_.checkIntact();
    stats_.delivered.fetch_add(1, std::memory_order_relaxed);
    if (settings_.tap != nullptr) settings_.tap->offer(frame);
}

void InputStream::endInput() {
    // Once the client has taken the last frame, no frame follows. A session
    // that stops gives a client still reading a moment to take it.
    if (!channel_.waitUntilFree(stop_)) channel_.waitUntilFreeFor(kLastFrameGrace);
    channel_.publishEnd(kEndFlagGap);
    stats_.inputEnded.store(true);
}

bool InputStream::play() {
    while (!stop_.load(std::memory_order_relaxed)) {
        AVFrame* frame = source_->next();
        if (frame == nullptr) return !stop_.load();
        bool waited = false;
        if (!channel_.waitUntilFree(stop_, &waited)) {
            channel_.checkIntact();
            return false;
        }
        if (settings_.pacing) waitUntilDue(*frame, waited);
        deliver(*frame);
    }
    return false;
}

void InputStream::waitUntilDue(const AVFrame& frame, bool clientHeldChannel) {
    const double seconds = source_->secondsOf(frame);
    if (seconds < 0) return;
    const auto now = Clock::now();
    if (!originSet_) {
        origin_ = now - toDuration(seconds);
        originSet_ = true;
        firstSeconds_ = seconds;
        firstTaken_ = false;
        return;
    }
    if (!firstTaken_) {
        // The first frame plays from when the client took it (a client may
        // take a while to get going), so the second does not follow it at once.
        firstTaken_ = true;
        if (clientHeldChannel) origin_ = now - toDuration(firstSeconds_);
    }
    const auto due = origin_ + toDuration(seconds);
    if (due + kLateSlack < now) {
        origin_ += now - due;
        return;
    }
    while (Clock::now() < due && !stop_.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(20)));
}

}  // namespace flumina::host
