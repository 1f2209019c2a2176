#include "channel_taker.h"

#include "log.h"
#include "thread_name.h"

namespace flumina::host {

ChannelTaker::ChannelTaker(std::size_t index, std::string name, std::string threadName, StreamError& errors,
                           korvane::ipc::dev::ShmRegion& channel, std::size_t payloadOffset, Bytes bytes, Sink sink)
    : index_(index), name_(std::move(name)), threadName_(std::move(threadName)), errors_(errors), reader_(std::make_unique<ChannelReader>(channel, payloadOffset)), bytes_(bytes),
      sink_(std::move(sink)) {}

ChannelTaker::~ChannelTaker() { stop(); }

void ChannelTaker::start() { thread_ = std::thread([this] { run(); }); }

void ChannelTaker::stop() {
    stop_.store(true);
    if (reader_) reader_->wake();
    if (thread_.joinable()) thread_.join();
    reader_.reset();
}

void ChannelTaker::run() {
    nameThisThread(threadName_);
    std::vector<char> frame;
    try {
        while (const std::optional<TakenFrame> taken = reader_->take(bytes_ == Bytes::Copied ? &frame : nullptr, stop_)) sink_(frame, *taken);
    } catch (const std::exception& e) {
        errors_.report(index_, logLine(name_, ": no more frames taken: ", e.what()));
    }
}

}  // namespace flumina::host
