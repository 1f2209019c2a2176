#include "input_stream.h"

#include <chrono>

#include "log.h"
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

Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

InputStream::InputStream(InputStreamSettings settings, std::unique_ptr<FrameSource> source, Reopen reopen,
                         korvane::ipc::dev::ShmRegion& channel, StreamStats& stats, const std::atomic<bool>& stop)
    : settings_(settings), source_(std::move(source)), reopen_(std::move(reopen)), channel_(channel),
      scaler_(settings.frameSize, settings.pixelFormat, settings.threads), stats_(stats), stop_(stop) {}

InputStream::~InputStream() { join(); }

void InputStream::start() { thread_ = std::thread([this] { run(); }); }

void InputStream::join() {
    if (thread_.joinable()) thread_.join();
}

void InputStream::wake() { channel_.wake(); }

void InputStream::run() {
    nameThisThread(logLine("decode ", settings_.index));
    const std::string name = logLine("stream ", settings_.index);
    try {
        for (;;) {
            if (!play()) break;
            const bool again = settings_.loop && source_->recorded();
            log().line(logLine(name, ": end of input after ", stats_.delivered.load(), " frames delivered, ",
                               stats_.dropped.load(), " dropped", again ? "; starting again (--loop)" : ""));
            if (!again) break;
            source_.reset();
            source_ = reopen_();
            originSet_ = false;
        }
    } catch (const std::exception& e) {
        if (!stop_.load()) log().error(logLine(name, ": input stopped: ", e.what()));
    }
    endInput();
}

void InputStream::endInput() {
    // Once the client has taken the last frame, no frame follows. A session
    // that stops gives a client still reading a moment to take it.
    if (!channel_.waitUntilFree(stop_)) channel_.waitUntilFreeFor(kLastFrameGrace);
    channel_.publishEnd();
    stats_.inputEnded.store(true);
}

bool InputStream::play() {
    const std::size_t bytes = settings_.frameSize.rgbBytes();
    const bool recorded = source_->recorded();
    while (!stop_.load(std::memory_order_relaxed)) {
        AVFrame* frame = source_->next();
        if (frame == nullptr) return !stop_.load();
        if (recorded) {
            bool waited = false;
            if (!channel_.waitUntilFree(stop_, &waited)) {
                channel_.checkIntact();
                return false;
            }
            if (settings_.pacing) waitUntilDue(*frame, waited);
        } else if (!channel_.free()) {
            stats_.dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        scaler_.scaleToPacked(*frame, channel_.payload(bytes));
        channel_.publish(bytes);
        channel_.checkIntact();
        stats_.delivered.fetch_add(1, std::memory_order_relaxed);
        if (settings_.tap != nullptr) settings_.tap->offer(*frame);
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
