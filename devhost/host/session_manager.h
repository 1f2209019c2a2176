// Runs one session at a time: a new one replaces the running one, a silent
// heartbeat or a shutdown stops it. Also logs progress while one runs.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "heartbeat_watch.h"
#include "options.h"
#include "session.h"
#include "usb_devices.h"

namespace flumina::host {

class SessionManager {
public:
    SessionManager(const HostOptions& options, const UsbDevices& usb);
    // Stops the running session, finalising its outputs.
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // Stops the running session, then opens and starts the one described. Returns
    // the reply's result ({"content": {"rgbwidth", "rgbheight"}}); throws ConfigError
    // (or what opening threw) with nothing left running.
    nlohmann::json startSession(const std::string& config, int useType, int caller);
    // Stops the running session, if any, and refuses new ones from now on.
    void shutdown(const std::string& reason);

private:
    void stopLocked(const std::string& reason);
    void watch();

    const HostOptions& options_;
    const UsbDevices& usb_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::unique_ptr<Session> session_;
    bool closing_ = false;
    HeartbeatWatch heartbeat_;
    std::thread watcher_;
};

}  // namespace flumina::host
