// Lets a blocking libav call (open, read, write) give up: when the session
// stops, or when an armed deadline passes.
#pragma once

#include <atomic>
#include <chrono>

extern "C" {
#include <libavformat/avio.h>
}

namespace flumina::host {

class Interrupter {
public:
    using Clock = std::chrono::steady_clock;

    // `stop` (may be null) interrupts whenever it is set.
    explicit Interrupter(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}
    Interrupter(const Interrupter&) = delete;
    Interrupter& operator=(const Interrupter&) = delete;

    // Calls that are still blocked `seconds` from now give up.
    void arm(double seconds) {
        deadline_.store((Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds)))
                            .time_since_epoch()
                            .count(),
                        std::memory_order_relaxed);
    }
    void disarm() { deadline_.store(kNoDeadline, std::memory_order_relaxed); }
    // Interrupts whenever `stop` (may be null: never) is set, from now on; call it on the thread that makes the calls.
    void watch(const std::atomic<bool>* stop) { stop_ = stop; }

    bool interrupted() const { return (stop_ != nullptr && stop_->load(std::memory_order_relaxed)) || timedOut(); }
    // Whether the armed deadline has passed.
    bool timedOut() const {
        const auto deadline = deadline_.load(std::memory_order_relaxed);
        return deadline != kNoDeadline && Clock::now().time_since_epoch().count() > deadline;
    }

    // For AVFormatContext::interrupt_callback and avio_open2.
    AVIOInterruptCB callback() const { return AVIOInterruptCB{&Interrupter::check, const_cast<Interrupter*>(this)}; }

private:
    static int check(void* self) { return static_cast<const Interrupter*>(self)->interrupted() ? 1 : 0; }

    static constexpr Clock::rep kNoDeadline = Clock::duration::max().count();
    const std::atomic<bool>* stop_;
    std::atomic<Clock::rep> deadline_{kNoDeadline};
};

}  // namespace flumina::host
