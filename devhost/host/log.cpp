#include "log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

extern "C" {
#include <libavutil/log.h>
}

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

void libavMessage(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    char text[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, text, sizeof text, &prefix);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) log().line("libav: " + line);
}

}  // namespace

void Log::line(const std::string& text) {
    const std::string whole = timestamp() + " flumina-host: " + text + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(whole.data(), 1, whole.size(), stderr);
    std::fflush(stderr);
}

void Log::error(const std::string& text) {
    line("error: " + text);
    std::function<void(const std::string&)> watcher;
    {
        std::lock_guard<std::mutex> lock(watcherMutex_);
        watcher = watcher_;
    }
    if (watcher) watcher(text);
}

void Log::watchErrors(std::function<void(const std::string&)> watcher) {
    std::lock_guard<std::mutex> lock(watcherMutex_);
    watcher_ = std::move(watcher);
}

void Log::captureLibavMessages() { av_log_set_callback(libavMessage); }

Log& log() {
    static Log instance;
    return instance;
}

}  // namespace flumina::host
