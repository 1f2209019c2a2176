#include "request_line.h"

#include <cstdint>
#include <limits>

namespace flumina::host {
namespace {

using nlohmann::json;

bool fitsInt(const json& value) {
    // An unsigned number above INT64_MAX would wrap to a negative one read as int64_t.
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= std::numeric_limits<int>::max();
    if (!value.is_number_integer()) return false;
    const std::int64_t number = value.get<std::int64_t>();
    return number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
}

int intParam(const json& params, std::size_t at, const char* name) {
    const json& value = params[at];
    if (fitsInt(value)) return value.get<int>();
    throw BadRequest(std::string(name) + " must be an integer, not " + value.dump());
}

}  // namespace

Request parseRequest(const std::string& line) {
    Request request;
    json parsed;
    try {
        parsed = json::parse(line);
    } catch (const json::exception& e) {  // a syntax error, or a number too large (1e999)
        request.error = std::string("request is not valid JSON: ") + e.what();
        return request;
    }
    if (!parsed.is_object()) {
        request.error = "request must be a JSON object, not " + std::string(parsed.type_name());
        return request;
    }
    if (parsed.contains("id")) request.id = parsed["id"];
    if (!parsed.contains("method")) {
        request.error = "request has no method";
    } else if (!parsed["method"].is_string()) {
        request.error = "method must be a string, not " + parsed["method"].dump();
    } else {
        request.method = parsed["method"].get<std::string>();
        request.params = parsed.contains("params") ? parsed["params"] : json::array();
        if (!request.params.is_array()) request.error = "params must be an array, not " + request.params.dump();
    }
    return request;
}

std::string replyLine(const json& id, const json& result, const json& error) {
    return json{{"id", id}, {"result", result}, {"error", error}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

StreamParams streamParams(const json& params) {
    if (params.size() != 3)
        throw BadRequest("stream takes 3 params [config, useType, caller], not " + std::to_string(params.size()));
    if (!params[0].is_string())
        throw BadRequest("the session configuration (params[0]) must be JSON text in a string, not " + params[0].dump());
    return {params[0].get<std::string>(), intParam(params, 1, "the use type (params[1])"),
            intParam(params, 2, "the caller (params[2])")};
}

}  // namespace flumina::host
