// A request line as a client may send it, read as the service reads it; a
// "stream" request's configuration is read on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "request_line.h"
#include "session_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace flumina::host;
    const Request request = parseRequest(std::string(reinterpret_cast<const char*>(data), size));
    // The reply echoes the id; text that is not UTF-8 must not stop it.
    replyLine(request.id, nullptr, request.error);
    if (!request.error.empty() || request.method != "stream") return 0;
    try {
        const StreamParams params = streamParams(request.params);
        parseSession(params.config, params.useType, "/sdcard");
    } catch (const BadRequest& e) {
        replyLine(request.id, nullptr, e.what());
    } catch (const ConfigError& e) {
        replyLine(request.id, nullptr, e.what());
    }
    return 0;
}
