#include "session_manager.h"

#include "channels.h"
#include "log.h"

namespace flumina::host {
namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(100);

}  // namespace

SessionManager::SessionManager(const HostOptions& options, const UsbDevices& usb)
    : options_(options), usb_(usb), heartbeat_(channels::kHeartbeatFile) {
    watcher_ = std::thread([this] { watch(); });
}

SessionManager::~SessionManager() {
    shutdown("service stopped");
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
}

void SessionManager::stopLocked(const std::string& reason) {
    if (!session_) return;
    session_->stop(reason);
    session_.reset();
}

nlohmann::json SessionManager::startSession(const std::string& config, int useType, int caller) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) throw std::runtime_error("the service is shutting down");
    stopLocked("replaced by a new session");
    const SessionSpec spec = parseSession(config, useType, options_.sdcardDir);
    log().line(logLine("starting a session for caller ", caller, ": use type ", useType, ", ", spec.streams.size(),
                       spec.streams.size() == 1 ? " stream" : " streams"));
    auto session = std::make_unique<Session>(spec, options_, usb_);
    const FrameSize size = session->reportedSize();
    session->start();
    session_ = std::move(session);
    heartbeat_.restart();
    return {{"content", {{"rgbwidth", size.width}, {"rgbheight", size.height}}}};
}

void SessionManager::shutdown(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    stopLocked(reason);
    wake_.notify_all();
}

void SessionManager::watch() {
    auto lastProgress = std::chrono::steady_clock::now();
    const auto progressEvery =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(options_.progressInterval));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        wake_.wait_for(lock, kWatchPeriod);
        if (closing_ || !session_) {
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        const double silent = heartbeat_.secondsSinceChange();
        if (silent >= options_.heartbeatTimeout) {
            log().line(logLine("heartbeat file ", channels::kHeartbeatFile, " unchanged for ", options_.heartbeatTimeout,
                               " s: the client is gone"));
            stopLocked("no heartbeat");
            continue;
        }
        if (std::chrono::steady_clock::now() - lastProgress >= progressEvery) {
            lastProgress = std::chrono::steady_clock::now();
            log().line("progress: " + session_->progress());
        }
    }
}

}  // namespace flumina::host
