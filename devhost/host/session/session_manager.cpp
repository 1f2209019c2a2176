#include "session_manager.h"

#include <malloc.h>

#include "channels.h"
#include "input_channel_writer.h"
#include "host_limits.h"
#include "log.h"
#include "shm_region.h"
#include "steady_seconds.h"
#include "view_board.h"

namespace flumina::host {
namespace {

namespace ch = flumina::channels;
constexpr auto kWatchPeriod = std::chrono::milliseconds(100);
constexpr const char* kShuttingDown = "the service is shutting down";

// The stream indices of a configuration as a native client counts them when
// it attaches channels: an array's elements, an object's members, one for any
// other value, none for null or text that is not JSON.
std::size_t streamIndices(const std::string& config) {
    const nlohmann::json parsed = nlohmann::json::parse(config, nullptr, false);
    if (parsed.is_discarded()) return 0;
    return parsed.size();
}

// What a client waiting on these input channels sees as the end of its input.
void endInputs(std::size_t streams) {
    for (std::size_t index = 0; index < std::min(streams, kMaxStreamsPerSession); ++index) {
        try {
            auto channel = korvane::ipc::dev::ShmRegion::openOwned(ch::inputChannelName(index), ch::kInputPayloadOffset);
            InputChannelWriter(*channel).publishEnd();
        } catch (const std::exception& e) {
            log().error(logLine("cannot end input channel ", ch::inputChannelName(index), ": ", e.what()));
        }
    }
}

// A large session leaves its frames' memory free but held by the allocator's
// arenas; give it back. Called without the mutex: trimming a large heap takes
// a while, and no request need wait for it.
void returnFreedMemory() { malloc_trim(0); }

}  // namespace

std::string describe(const Caller& caller) {
    return logLine("caller ", caller.id, " on connection ", caller.connection);
}

SessionManager::SessionManager(const HostOptions& options, const UsbDevices& usb, ViewBoard* view)
    : options_(options), usb_(usb), view_(view), heartbeat_(ch::kHeartbeatFile) {
    watcher_ = std::thread([this] { watch(); });
}

SessionManager::~SessionManager() {
    shutdown("service stopped");
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
}

bool SessionManager::stopLocked(const std::string& reason) {
    if (!session_) return false;
    if (view_) view_->detach(reason);
    session_->stop(reason);
    session_.reset();
    client_.reset();
    return true;
}

std::string SessionManager::givenUpLocked() const {
    return closing_ ? kShuttingDown : "a newer stream request came before this one's session could start";
}

nlohmann::json SessionManager::startSession(const std::string& config, int useType, const Caller& caller) {
    auto session = std::make_shared<Session>(options_, usb_);
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) throw std::runtime_error(kShuttingDown);
        if (opening_) {
            log().line(logLine("a stream request still opening its session gives way to one of ", describe(caller)));
            opening_->interrupt();
        }
        opening_ = session;
        if (session_ && !client_->gone())
            log().line(logLine("replacing the session of ", describe(caller_), ", whose client is still there, with one for ",
                               describe(caller)));
        replaced = stopLocked("replaced by a new session");
    }
    if (replaced) returnFreedMemory();
    try {
        const SessionSpec spec = parseSession(config, useType, options_.sdcardDir);
        if (options_.devicePaths)
            for (const StreamSpec& stream : spec.streams)
                if (!stream.deviceProblems.empty()) failStream(stream.index, stream.deviceProblems.front() + " (--device-paths)");
        log().line(logLine("starting a session for caller ", caller.id, ": use type ", useType, ", ",
                           spec.streams.size(), spec.streams.size() == 1 ? " stream" : " streams"));
        session->open(spec);
        std::lock_guard<std::mutex> lock(mutex_);
        if (opening_ != session) throw std::runtime_error(givenUpLocked());
        auto client = std::make_unique<ClientWatch>(caller.id, caller.connection);
        try {
            session->attachChannels();
            session->start();
        } catch (...) {
            // Let go of its channels before another session may take them.
            session->stop("not started");
            throw;
        }
        log().line(client->watching().empty()
                       ? logLine("caller ", caller.id, " is no running process: only the heartbeat tells when it is gone")
                       : logLine("the session ends when ", client->watching(), " does"));
        const FrameSize size = session->reportedSize();
        opening_.reset();
        session_ = session;
        client_ = std::move(client);
        caller_ = caller;
        heartbeat_.restart();
        if (view_) view_->attach(session_->viewed());
        return {{"content", {{"rgbwidth", size.width}, {"rgbheight", size.height}}}};
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        // A newer request, which owns the channels now, or a shutdown made this one give up.
        if (opening_ != session) throw std::runtime_error(givenUpLocked());
        opening_.reset();
        endInputs(streamIndices(config));
        if (view_) view_->refused(std::current_exception());
        throw;
    }
}

void SessionManager::connectionClosed(std::uint64_t connection) {
    {
        std::lock_guard<std::mutex> lock(closedMutex_);
        closedConnections_.push_back(connection);
    }
    wake_.notify_all();
}

void SessionManager::shutdown(const std::string& reason) {
    bool stopped = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        if (opening_) opening_->interrupt();
        stopped = stopLocked(reason);
        wake_.notify_all();
    }
    if (stopped) returnFreedMemory();
}

void SessionManager::watch() {
    auto lastProgress = std::chrono::steady_clock::now();
    const auto progressEvery = toDuration(options_.progressInterval);
    std::unique_lock<std::mutex> lock(mutex_);
    auto stopSession = [&](const std::string& reason) {
        stopLocked(reason);
        lock.unlock();
        returnFreedMemory();
        lock.lock();
    };
    while (!closing_) {
        wake_.wait_for(lock, kWatchPeriod);
        std::vector<std::uint64_t> closed;
        {
            std::lock_guard<std::mutex> guard(closedMutex_);
            closed.swap(closedConnections_);
        }
        if (closing_ || !session_) {
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        for (const std::uint64_t connection : closed) client_->connectionClosed(connection);
        if (client_->gone()) {
            const std::string ending = client_->ending();
            log().line("the client is gone: " + ending);
            stopSession("client gone (" + ending + ")");
            continue;
        }
        const double silent = heartbeat_.secondsSinceChange();
        if (silent >= options_.heartbeatTimeout) {
            log().line(logLine("heartbeat file ", ch::kHeartbeatFile, " unchanged for ", options_.heartbeatTimeout,
                               " s: the client is gone"));
            stopSession("no heartbeat");
            continue;
        }
        if (std::chrono::steady_clock::now() - lastProgress >= progressEvery) {
            lastProgress = std::chrono::steady_clock::now();
            log().line("progress: " + session_->progress());
        }
    }
}

}  // namespace flumina::host
