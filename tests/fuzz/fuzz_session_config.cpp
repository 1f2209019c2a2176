// A session configuration as a client may send it: the first byte picks the
// use type (-1 to 9), the rest is the configuration's text. Anything but a
// ConfigError escaping the parser is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "session_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int useType = data[0] % 11 - 1;
    try {
        flumina::host::parseSession(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), useType, "/sdcard");
    } catch (const flumina::host::ConfigError&) {
    }
    return 0;
}
