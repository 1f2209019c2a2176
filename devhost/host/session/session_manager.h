// Runs one session at a time: a new one replaces the running one; its client
// going away (its process or connection), a silent heartbeat or a shutdown
// stops it. Also logs progress while one runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client_watch.h"
#include "heartbeat_watch.h"
#include "host_options.h"
#include "session.h"
#include "usb_devices.h"

namespace flumina::host {

class ViewBoard;

// Who asks for a session: the "stream" request's caller value, and the connection it came on.
struct Caller {
    int id = 0;
    std::uint64_t connection = 0;
};

// "caller 4242 on connection 3", for the log.
std::string describe(const Caller& caller);

class SessionManager {
public:
    // `view`, when given, is shown every session from its start to its stop.
    SessionManager(const HostOptions& options, const UsbDevices& usb, ViewBoard* view = nullptr);
    // Stops the running session, finalising its outputs.
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // Stops the running session, then opens and starts the one described. Returns
    // the reply's result ({"content": {"rgbwidth", "rgbheight"}}); throws ConfigError
    // (or what opening threw) with nothing left running, after ending the input
    // channel of every stream index of `config`, so that no client reads a frame
    // of an earlier session. Opening holds up no other call: a newer request or a
    // shutdown makes it give up at once.
    nlohmann::json startSession(const std::string& config, int useType, const Caller& caller);
    // A client connection has closed; the session ends if it belonged to a native client on it.
    // Never waits for a session to start or stop.
    void connectionClosed(std::uint64_t connection);
    // Stops the running session, if any, and refuses new ones from now on.
    void shutdown(const std::string& reason);

private:
    // Whether there was a session to stop.
    bool stopLocked(const std::string& reason);
    // Why a request whose session is no longer the one opening gave up.
    std::string givenUpLocked() const;
    void watch();

    const HostOptions& options_;
    const UsbDevices& usb_;
    ViewBoard* view_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<Session> opening_;  // the latest request's session, until it runs or fails
    std::shared_ptr<Session> session_;  // the running session
    std::unique_ptr<ClientWatch> client_;
    Caller caller_;                     // the running session's
    bool closing_ = false;
    std::mutex closedMutex_;
    std::vector<std::uint64_t> closedConnections_;  // since the watcher last looked
    HeartbeatWatch heartbeat_;
    std::thread watcher_;
};

}  // namespace flumina::host
