#include "channel_reader.h"

#include <chrono>
#include <stdexcept>

#include "channels.h"

namespace flumina::host {

namespace ch = flumina::channels;

// Sleeps are bounded so that a reader notices `stop` even without wake().
constexpr std::chrono::milliseconds kLongestSleep{200};

ChannelReader::ChannelReader(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset)
    : channel_(channel), payloadOffset_(payloadOffset) {
    auto& log = channel_.log();
    log.registerReader(static_cast<std::uint32_t>(payloadOffset));
    seen_ = log.sequence();
    lastWritten_ = log.written();
}

ChannelReader::~ChannelReader() { channel_.log().unregisterReader(); }

void ChannelReader::wake() { channel_.log().wakeReaders(); }

bool ChannelReader::copyFrame(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset,
                              std::uint32_t before, std::vector<char>* into, TakenFrame& frame) {
    auto& log = channel.log();
    frame.written = log.lastLength();
    frame.bytes = channel.load_word_acquire(ch::kSizeWordOffset);
    if (into != nullptr) {
        std::size_t copied = std::min(frame.bytes, frame.written);
        // A size word past the channel: nothing of it is taken.
        if (channel.locate(copied, payloadOffset) == nullptr) copied = 0;
        into->resize(copied);
        channel.copy_out(into->data(), copied, payloadOffset);
    }
    // A write begun meanwhile may have torn what was read.
    return log.sequence() == before;
}

bool ChannelReader::copyLatest(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset,
                               std::vector<char>& into) {
    auto& log = channel.log();
    const std::uint32_t before = log.sequence();
    if (before % 2 != 0 || log.lastOffset() != payloadOffset) return false;
    TakenFrame frame;
    return copyFrame(channel, payloadOffset, before, &into, frame) && frame.sound(into);
}

ChannelReader::Look ChannelReader::tryTake(std::vector<char>* into, TakenFrame& frame) {
    auto& log = channel_.log();
    const std::uint32_t before = log.sequence();
    if (before % 2 != 0 || before == seen_) return Look::Nothing;
    if (log.lastOffset() != payloadOffset_) {
        seen_ = before;  // a size word, or a write of another kind: no frame yet
        return Look::Nothing;
    }
    const std::uint32_t written = log.written();
    if (!copyFrame(channel_, payloadOffset_, before, into, frame)) return Look::Again;
    seen_ = before;
    frame.missed = written - lastWritten_ - 1;
    lastWritten_ = written;
    log.markTaken(written);
    return Look::Taken;
}

std::optional<TakenFrame> ChannelReader::take(std::vector<char>* into, const std::atomic<bool>& stop) {
    TakenFrame frame;
    for (;;) {
        // A frame completed before the stop is still taken.
        const bool stopping = stop.load(std::memory_order_relaxed);
        const std::uint32_t looked = channel_.log().sequence();
        switch (tryTake(into, frame)) {
            case Look::Taken:
                return frame;
            case Look::Again:
                continue;
            case Look::Nothing:
                if (stopping) return std::nullopt;
                if (channel_.damaged())
                    throw std::runtime_error("channel " + channel_.name() +
                                             " was shrunk by another process; no more frames are taken from it");
                channel_.log().waitForChange(looked, kLongestSleep);
        }
    }
}

}  // namespace flumina::host
