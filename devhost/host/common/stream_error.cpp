#include "stream_error.h"

#include "log.h"

namespace flumina::host {

void StreamError::report(std::size_t index, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = text;
    }
    log().streamError(logLine("stream ", index, ": ", text));
}

void StreamError::report(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = text;
    }
    log().streamError(text);
}

std::string StreamError::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
}

}  // namespace flumina::host
