#include "input_channel_writer.h"

#include <algorithm>
#include <stdexcept>

#include "channels.h"

namespace flumina::host {

namespace ch = flumina::channels;
using Clock = std::chrono::steady_clock;

// Sleeps are bounded so that a wait notices `stop` even without wake().
constexpr std::chrono::milliseconds kLongestSleep{200};

void InputChannelWriter::reset() {
    region_.store_word_release(ch::kReadyFlagOffset, 0);
    region_.store_word_release(ch::kSizeWordOffset, 0);
}

bool InputChannelWriter::free() { return region_.load_word_acquire(ch::kReadyFlagOffset) == 0; }

bool InputChannelWriter::wait(const std::atomic<bool>& stop, Clock::time_point deadline) {
    for (;;) {
        // The sequence before the flag: a clear that comes after the look wakes the sleep.
        const std::uint32_t sequence = region_.log().sequence();
        if (free()) return true;
        const auto now = Clock::now();
        if (stop.load(std::memory_order_relaxed) || now >= deadline || region_.damaged()) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        region_.log().waitForChange(sequence, std::clamp(left, std::chrono::milliseconds(1), kLongestSleep));
    }
}

bool InputChannelWriter::waitUntilFree(const std::atomic<bool>& stop, bool* waited) {
    if (waited != nullptr) *waited = !free();
    return wait(stop, Clock::time_point::max());
}

bool InputChannelWriter::waitUntilFreeFor(std::chrono::milliseconds timeout) {
    static const std::atomic<bool> never{false};
    return wait(never, Clock::now() + timeout);
}

void InputChannelWriter::wake() { region_.log().wakeReaders(); }

char* InputChannelWriter::payload(std::size_t bytes) { return region_.span(bytes, ch::kInputPayloadOffset); }

void InputChannelWriter::publish(std::size_t bytes) {
    region_.store_word_release(ch::kSizeWordOffset, static_cast<std::uint32_t>(bytes));
    region_.store_word_release(ch::kReadyFlagOffset, 1);
}

void InputChannelWriter::publishEnd() { publish(0); }

void InputChannelWriter::checkIntact() const {
    if (region_.damaged())
        throw std::runtime_error("channel " + region_.name() + " was shrunk by another process; no more frames go to it");
}

}  // namespace flumina::host
