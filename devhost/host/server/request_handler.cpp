#include "request_handler.h"

#include "log.h"

namespace flumina::host {

using nlohmann::json;

std::string RequestHandler::handle(const Request& request, std::uint64_t connection) {
    if (!request.error.empty()) return replyLine(request.id, nullptr, request.error);
    const std::string& method = request.method;
    try {
        json result;
        if (method == "stream") result = stream(request.params, connection);
        else if (method == "searchUSB") result = searchUsb(request.params);
        else if (method == "requestPermission") result = requestPermission(request.params);
        else throw BadRequest("unknown method \"" + method + "\" (the service knows stream, searchUSB and requestPermission)");
        return replyLine(request.id, result, nullptr);
    } catch (const std::exception& e) {
        if (method == "stream") log().line(logLine("session not started: ", e.what()));
        return replyLine(request.id, nullptr, e.what());
    }
}

json RequestHandler::stream(const json& params, std::uint64_t connection) {
    const StreamParams stream = streamParams(params);
    return sessions_.startSession(stream.config, stream.useType, Caller{stream.caller, connection});
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
