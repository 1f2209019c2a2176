// Answers one line of the protocol: a JSON request {"id", "method", "params"}
// becomes a JSON reply {"id", "result", "error"}.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "request_line.h"
#include "session_manager.h"
#include "usb_devices.h"

namespace flumina::host {

class RequestHandler {
public:
    RequestHandler(SessionManager& sessions, const UsbDevices& usb) : sessions_(sessions), usb_(usb) {}

    // The reply line, without its newline, to `request` read on connection `connection`.
    // Never throws for what a client sends.
    std::string handle(const Request& request, std::uint64_t connection);
    // Connection `connection` has closed.
    void connectionClosed(std::uint64_t connection) { sessions_.connectionClosed(connection); }

private:
    nlohmann::json stream(const nlohmann::json& params, std::uint64_t connection);
    nlohmann::json searchUsb(const nlohmann::json& params);
    nlohmann::json requestPermission(const nlohmann::json& params);

    SessionManager& sessions_;
    const UsbDevices& usb_;
};

}  // namespace flumina::host
