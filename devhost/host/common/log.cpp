#include "log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace flumina::host {
namespace {

std::string timestamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return text;
}

// Control characters (a newline in a client's path, a terminal escape) shown
// as escapes, so that one event stays one line and reads as it came.
std::string escapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

}  // namespace

void Log::line(const std::string& text) {
    const std::string whole = timestamp() + " flumina-host: " + escapeControls(text) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
}

std::string fps(double rate) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f fps", rate);
    return text;
}

void Log::error(const std::string& text) { logError(text, false); }

void Log::streamError(const std::string& text) { logError(text, true); }

void Log::logError(const std::string& text, bool ofStream) {
    line("error: " + text);
    // Held through the call, so that watchErrors() waits for it before the watcher's owner may go.
    std::lock_guard<std::mutex> lock(watcherMutex_);
    if (watcher_) watcher_(text, ofStream);
}

void Log::watchErrors(ErrorWatcher watcher) {
    std::lock_guard<std::mutex> lock(watcherMutex_);
    watcher_ = std::move(watcher);
}

Log& log() {
    static Log instance;
    return instance;
}

}  // namespace flumina::host
