// A request line of the protocol read into its parts, before anything acts on it.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace flumina::host {

struct Request {
    nlohmann::json id;       // echoed in the reply; null when the line has none
    std::string method;
    nlohmann::json params;   // an array
    std::string error;       // non-empty: the line is no request, and this is the reply's error
};

// Reads one line of JSON ({"id", "method", "params"}); never throws for what a client sends.
Request parseRequest(const std::string& line);

// The reply line {"id", "result", "error"}, without its newline; text that is
// not UTF-8 (an id echoed back, a path in an error) is replaced, not thrown on.
std::string replyLine(const nlohmann::json& id, const nlohmann::json& result, const nlohmann::json& error);

// A request whose params the client got wrong; the message goes back as the reply's error.
class BadRequest : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct StreamParams {
    std::string config;  // the session configuration, JSON text
    int useType = 0;
    int caller = 0;
};

// The params of a "stream" request, [config, useType, caller]; throws BadRequest.
StreamParams streamParams(const nlohmann::json& params);

}  // namespace flumina::host
