// The last error of one stream: kept where it happens, on whichever thread,
// and read by the live view, which thus never reads it back out of the log.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace flumina::host {

class StreamError {
public:
    // Logs "stream INDEX: TEXT" as an error and keeps TEXT as the stream's last error.
    void report(std::size_t index, const std::string& text);
    // Logs and keeps `text`, an error that names its own place ("output /out.mp4 stopped: ...").
    void report(const std::string& text);
    // The last error reported; empty when there was none.
    std::string last() const;

private:
    mutable std::mutex mutex_;
    std::string last_;
};

}  // namespace flumina::host
