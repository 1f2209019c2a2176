#include "view_board.h"

#include <cmath>

#include "channel_reader.h"
#include "channels.h"
#include "use_types.h"

namespace flumina::host {

namespace ch = flumina::channels;

namespace {

using nlohmann::json;

json orNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

// One decimal is all a reader needs of a rate.
double tenths(double value) { return std::round(value * 10) / 10; }

std::string messageOf(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown error";
}

}  // namespace

struct ViewBoard::Stream {
    ViewedStream view;
    RateMeter delivered, shown, pushed, encoded;
};

struct ViewBoard::Session {
    std::uint64_t id = 0;
    int useType = 0;
    Clock::time_point started;
    std::vector<Stream> streams;
    std::string lastError;
};

ViewBoard::ViewBoard(PixelOrder pixelOrder, VideoCodec codec)
    : rgbFormat_(rgbFormatOf(pixelOrder)), codec_(codecName(codec)) {}

ViewBoard::~ViewBoard() = default;

void ViewBoard::attach(ViewedSession session) {
    const std::unique_lock<std::shared_mutex> noCopies(attachment_);
    auto attached = std::make_unique<Session>();
    attached->useType = session.useType;
    attached->started = Clock::now();
    for (ViewedStream& stream : session.streams) {
        attached->streams.emplace_back();
        Stream& entry = attached->streams.back();
        entry.view = std::move(stream);
        // Rates count from the start.
        for (RateMeter* meter : {&entry.delivered, &entry.shown, &entry.pushed, &entry.encoded})
            meter->update(0, attached->started);
    }
    std::function<void()> changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached->id = ++sessions_;
        session_ = std::move(attached);
        changed = changed_;
    }
    if (changed) changed();
}

void ViewBoard::detach(const std::string& reason) {
    const std::unique_lock<std::shared_mutex> noCopies(attachment_);
    std::function<void()> changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!session_) return;
        lastSession_ = {{"id", session_->id}, {"ended", reason}};
        session_.reset();
        changed = changed_;
    }
    if (changed) changed();
}

void ViewBoard::refused(const std::exception_ptr& error) {
    std::function<void()> changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = "session not started: " + messageOf(error);
        changed = changed_;
    }
    if (changed) changed();
}

void ViewBoard::noteError(const std::string& text, bool ofStream) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = text;
    if (session_ && !ofStream) session_->lastError = text;
}

void ViewBoard::onChange(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_ = std::move(listener);
}

std::uint64_t ViewBoard::sessionId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_ ? session_->id : 0;
}

json ViewBoard::status(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    json status = {{"session", nullptr},
                   {"lastSession", lastSession_.is_null() ? json(nullptr) : lastSession_},
                   {"lastError", orNull(lastError_)}};
    if (!session_) return status;
    json streams = json::array();
    for (Stream& stream : session_->streams) {
        const ViewedStream& view = stream.view;
        const StreamStats& s = *view.stats;
        json entry = {{"index", view.index},
                      {"input", view.input},
                      {"width", view.frameSize.width},
                      {"height", view.frameSize.height},
                      {"inputEnded", s.inputEnded.load()},
                      {"reconnecting", s.reconnecting.load()},
                      {"warnings", view.deviceProblems},
                      {"outputs", view.outputs},
                      {"counts",
                       {{"delivered", s.delivered.load()},
                        {"dropped", s.dropped.load()},
                        {"shown", s.shown.load()},
                        {"pushed", s.pushed.load()},
                        {"missed", s.missed.load()},
                        {"skipped", s.skipped.load()},
                        {"overflowed", s.overflowed.load()},
                        {"encoded", s.encoded.load()}}},
                      {"fps",
                       {{"delivered", tenths(stream.delivered.update(s.delivered.load(), now))},
                        {"shown", tenths(stream.shown.update(s.shown.load(), now))},
                        {"pushed", tenths(stream.pushed.update(s.pushed.load(), now))},
                        {"encoded", tenths(stream.encoded.update(s.encoded.load(), now))}}},
                      {"lastError", orNull(s.error.last())},
                      {"recording", view.recorder ? json{{"file", view.recorder->path()},
                                                         {"stopped", orNull(view.recorder->failure())}}
                                                  : json(nullptr)}};
        if (!view.outputs.empty() && view.outSize)
            entry["output"] = {{"width", view.outSize->width},
                               {"height", view.outSize->height},
                               {"frameRate", view.outFrameRate},
                               {"codec", codec_}};
        streams.push_back(std::move(entry));
    }
    const UseType* useType = findUseType(session_->useType);
    status["session"] = {{"id", session_->id},
                         {"useType", session_->useType},
                         {"useTypeMeaning", useType != nullptr ? useType->meaning : ""},
                         {"seconds", tenths(std::chrono::duration<double>(now - session_->started).count())},
                         {"streams", std::move(streams)},
                         {"lastError", orNull(session_->lastError)}};
    return status;
}

const ViewBoard::Stream* ViewBoard::findLocked(const Tile& tile) const {
    if (!session_ || session_->id != tile.session) return nullptr;
    for (const Stream& stream : session_->streams)
        if (stream.view.index == tile.index) return &stream;
    return nullptr;
}

std::optional<TileSource> ViewBoard::source(const Tile& tile) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Stream* stream = findLocked(tile);
    if (stream == nullptr) return std::nullopt;
    const ViewedStream& view = stream->view;
    TileSource source;
    switch (tile.kind) {
        case FrameKind::Shown:
            source.sizes = {view.frameSize};
            if (view.outSize) source.sizes.push_back(*view.outSize);
            break;
        case FrameKind::Input:
            source.tap = view.decoded;
            source.sizes = {view.frameSize};
            if (!source.tap) source.absent = "this stream has no input";
            break;
        case FrameKind::Pushed:
            source.tap = view.pushed;
            if (view.outSize) source.sizes = {*view.outSize};
            if (!source.tap) source.absent = "this stream has no output, so the host takes no pushed frame";
            break;
    }
    return source;
}

std::optional<std::pair<ViewBoard::ShownFrame, std::uint64_t>> ViewBoard::shownAfter(const Tile& tile,
                                                                                   std::uint64_t seen) const {
    // The session stays attached, and so its display channel mapped, while the
    // frame (up to 24 MB) is copied outside the board's lock.
    const std::shared_lock<std::shared_mutex> attached(attachment_);
    korvane::ipc::dev::ShmRegion* display = nullptr;
    std::uint64_t shown = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Stream* stream = findLocked(tile);
        if (stream == nullptr) return std::nullopt;
        shown = stream->view.stats->shown.load(std::memory_order_relaxed);
        if (shown <= seen) return std::make_pair(ShownFrame(), shown);
        display = stream->view.display;
    }
    // Straight from the display channel, which holds the latest frame until the client shows the next.
    auto frame = std::make_shared<std::vector<char>>();
    if (!ChannelReader::copyLatest(*display, ch::kDisplayPayloadOffset, *frame))
        return std::make_pair(ShownFrame(), seen);  // caught mid-write: the next look
    return std::make_pair(ShownFrame(std::move(frame)), shown);
}

}  // namespace flumina::host
