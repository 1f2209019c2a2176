// The thread that takes a client's frames from one display or push channel
// as they are completed (ChannelReader) and hands each to a sink.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel_reader.h"
#include "stream_error.h"

namespace flumina::host {

class ChannelTaker {
public:
    // `frame` may be swapped with another buffer of the sink's; the taker copies the next frame into whatever it holds.
    using Sink = std::function<void(std::vector<char>& frame, const TakenFrame& taken)>;
    // Whether the sink gets each frame's bytes, or only learns that one was taken (`frame` stays empty).
    enum class Bytes { Copied, NotCopied };

    // Registers as the channel's reader now, so that frames written from here on are taken.
    // `name` says which channel of stream `index` it is ("push channel"), `threadName`
    // names the thread ("push 0"); an error that ends it goes to `errors`.
    ChannelTaker(std::size_t index, std::string name, std::string threadName, StreamError& errors,
                 korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset, Bytes bytes, Sink sink);
    ~ChannelTaker();
    ChannelTaker(const ChannelTaker&) = delete;
    ChannelTaker& operator=(const ChannelTaker&) = delete;

    void start();
    // Ends the thread and gives up the channel: the client's writes never wait again.
    void stop();

private:
    void run();

    std::size_t index_;
    std::string name_;
    std::string threadName_;
    StreamError& errors_;
    std::unique_ptr<ChannelReader> reader_;
    Bytes bytes_;
    Sink sink_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace flumina::host
