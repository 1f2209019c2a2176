#include "input_channel_writer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "channels.h"

namespace flumina::host {

namespace ch = flumina::channels;

void InputChannelWriter::reset() {
    region_.store_word_release(ch::kReadyFlagOffset, 0);
    region_.store_word_release(ch::kSizeWordOffset, 0);
}

bool InputChannelWriter::free() { return region_.load_word_acquire(ch::kReadyFlagOffset) == 0; }

bool InputChannelWriter::waitUntilFree(const std::atomic<bool>& stop, bool* waited) {
    // Clients poll and clear the flag with no signal to wait on, so poll too:
    // briefly at first (a fast reader clears it within microseconds), then
    // backing off to 200 us, which bounds the latency this adds.
    auto pause = std::chrono::microseconds(10);
    if (waited != nullptr) *waited = !free();
    while (!free()) {
        if (stop.load(std::memory_order_relaxed)) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(200));
    }
    return true;
}

char* InputChannelWriter::payload(std::size_t bytes) { return region_.span(bytes, ch::kInputPayloadOffset); }

void InputChannelWriter::publish(std::size_t bytes) {
    region_.store_word_release(ch::kSizeWordOffset, static_cast<std::uint32_t>(bytes));
    region_.store_word_release(ch::kReadyFlagOffset, 1);
}

void InputChannelWriter::publishEnd() { publish(0); }

}  // namespace flumina::host
