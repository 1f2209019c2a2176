// Takes the frames a client writes into a display or push channel: whole,
// each once, in the order written, by the region's write log (write_log.h).
// While a reader exists, the client's next frame waits until the reader has
// taken the last one, so frames are lost only when the reader stalls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "shm_region.h"

namespace flumina::host {

struct TakenFrame {
    std::size_t bytes = 0;       // the size word: the frame's byte count
    std::size_t written = 0;     // bytes of the payload write
    std::uint32_t missed = 0;    // frames written before this one that were never taken
    // Whether the copy holds the whole frame the size word announces.
    bool sound(const std::vector<char>& copy) const { return bytes == written && copy.size() == bytes; }
};

class ChannelReader {
public:
    // Registers this process as the channel's reader of payloads at `payloadOffset`;
    // frames written before count as taken.
    ChannelReader(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset);
    // Unregisters: the client's writes never wait again.
    ~ChannelReader();
    ChannelReader(const ChannelReader&) = delete;
    ChannelReader& operator=(const ChannelReader&) = delete;

    // Waits for the next complete frame and copies it into `into`, when given (nothing
    // of a frame that does not fit the channel); nullopt once `stop` is set and no
    // complete frame is left to take. Throws std::runtime_error once another process
    // has shrunk the channel.
    std::optional<TakenFrame> take(std::vector<char>* into, const std::atomic<bool>& stop);
    // Makes a take() that waits look at its `stop` again.
    void wake();

    // Copies the frame that `channel` holds complete now, without taking it (for
    // a look at the latest frame); false when a write is under way, the last write
    // was no payload, or the frame does not fit.
    static bool copyLatest(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset, std::vector<char>& into);

private:
    enum class Look { Taken, Nothing, Again };
    Look tryTake(std::vector<char>* into, TakenFrame& frame);
    // Reads the frame's sizes and, when `into` is given, its bytes; false when the
    // sequence moved on from `before` meanwhile.
    static bool copyFrame(korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset, std::uint32_t before,
                          std::vector<char>* into, TakenFrame& frame);

    korvane::ipc::dev::ShmRegion& channel_;
    std::size_t payloadOffset_;
    std::uint32_t seen_;         // sequence of the last write looked at
    std::uint32_t lastWritten_;  // frames written up to the last one taken
};

}  // namespace flumina::host
