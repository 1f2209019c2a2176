// Answers one line of the protocol: a JSON request {"id", "method", "params"}
// becomes a JSON reply {"id", "result", "error"}.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "session_manager.h"
#include "usb_devices.h"

namespace flumina::host {

class RequestHandler {
public:
    RequestHandler(SessionManager& sessions, const UsbDevices& usb) : sessions_(sessions), usb_(usb) {}

    // The reply line, without its newline, to `line` read on connection `connection`.
    // Never throws for what a client sends.
    std::string handle(const std::string& line, std::uint64_t connection);
    // Connection `connection` has closed.
    void connectionClosed(std::uint64_t connection) { sessions_.connectionClosed(connection); }
    // Whether answering `line` may take long: a "stream" request opens inputs and
    // waits for the running session to stop. Everything else is answered at once.
    static bool mayTakeLong(const std::string& line);

    // The reply to a request that could not be read at all.
    static std::string errorReply(const nlohmann::json& id, const std::string& error);

private:
    nlohmann::json stream(const nlohmann::json& params, std::uint64_t connection);
    nlohmann::json searchUsb(const nlohmann::json& params);
    nlohmann::json requestPermission(const nlohmann::json& params);

    SessionManager& sessions_;
    const UsbDevices& usb_;
};

}  // namespace flumina::host
