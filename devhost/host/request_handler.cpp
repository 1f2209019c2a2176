#include "request_handler.h"

#include <limits>

#include "log.h"

namespace flumina::host {
namespace {

using nlohmann::json;

// A request the client got wrong; the message goes back as the reply's error.
class BadRequest : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

int intParam(const json& params, std::size_t at, const char* name) {
    const json& value = params[at];
    if (value.is_number_integer() && value.get<std::int64_t>() >= std::numeric_limits<int>::min() &&
        value.get<std::int64_t>() <= std::numeric_limits<int>::max())
        return value.get<int>();
    throw BadRequest(std::string(name) + " must be an integer, not " + value.dump());
}

}  // namespace

std::string RequestHandler::errorReply(const json& id, const std::string& error) {
    return json{{"id", id}, {"result", nullptr}, {"error", error}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool RequestHandler::mayTakeLong(const std::string& line) {
    const json request = json::parse(line, nullptr, false);
    return request.is_object() && request.contains("method") && request["method"] == "stream";
}

std::string RequestHandler::handle(const std::string& line, std::uint64_t connection) {
    json request;
    try {
        request = json::parse(line);
    } catch (const json::parse_error& e) {
        return errorReply(nullptr, std::string("request is not valid JSON: ") + e.what());
    }
    if (!request.is_object()) return errorReply(nullptr, "request must be a JSON object, not " + std::string(request.type_name()));
    const json id = request.contains("id") ? request["id"] : json(nullptr);
    if (!request.contains("method")) return errorReply(id, "request has no method");
    if (!request["method"].is_string()) return errorReply(id, "method must be a string, not " + request["method"].dump());
    const std::string method = request["method"];
    const json params = request.contains("params") ? request["params"] : json::array();
    try {
        if (!params.is_array()) throw BadRequest("params must be an array, not " + params.dump());
        json result;
        if (method == "stream") result = stream(params, connection);
        else if (method == "searchUSB") result = searchUsb(params);
        else if (method == "requestPermission") result = requestPermission(params);
        else throw BadRequest("unknown method \"" + method + "\" (the service knows stream, searchUSB and requestPermission)");
        return json{{"id", id}, {"result", result}, {"error", nullptr}}.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception& e) {
        if (method == "stream") log().line(logLine("session not started: ", e.what()));
        return errorReply(id, e.what());
    }
}

json RequestHandler::stream(const json& params, std::uint64_t connection) {
    if (params.size() != 3)
        throw BadRequest("stream takes 3 params [config, useType, caller], not " + std::to_string(params.size()));
    if (!params[0].is_string())
        throw BadRequest("the session configuration (params[0]) must be JSON text in a string, not " + params[0].dump());
    const int useType = intParam(params, 1, "the use type (params[1])");
    const int caller = intParam(params, 2, "the caller (params[2])");
    return sessions_.startSession(params[0].get<std::string>(), useType, Caller{caller, connection});
}

json RequestHandler::searchUsb(const json& params) {
    if (!params.empty()) throw BadRequest("searchUSB takes no params, not " + std::to_string(params.size()));
    return usb_.listing();
}

json RequestHandler::requestPermission(const json& params) {
    if (params.size() != 1) throw BadRequest("requestPermission takes 1 param [deviceId], not " + std::to_string(params.size()));
    log().line("granted USB device " + params[0].dump() + " to the client");
    return {{"granted", true}, {"deviceID", params[0]}};
}

}  // namespace flumina::host
