// One line per event on standard error, from any thread.
#pragma once

#include <functional>
#include <mutex>
#include <sstream>
#include <string>

namespace flumina::host {

class Log {
public:
    // Writes "HH:MM:SS.mmm flumina-host: <line>" and a newline, whole, even when threads log at once;
    // control characters in `text` are written as escapes (\n, \x1b).
    void line(const std::string& text);
    // As line(), with "error: " ahead of the text.
    void error(const std::string& text);
    // As error(), for an error that a stream keeps as its own (StreamError).
    void streamError(const std::string& text);
    // The text of an error, and whether a stream keeps it as its own.
    using ErrorWatcher = std::function<void(const std::string& text, bool ofStream)>;
    // Hands every error to `watcher` too (empty: to nobody), on the thread
    // that logs it, one call at a time; the watcher must not log an error
    // itself. Returns once no call of the previous watcher runs any more.
    void watchErrors(ErrorWatcher watcher);

private:
    void logError(const std::string& text, bool ofStream);

    std::mutex mutex_;
    std::mutex watcherMutex_;
    ErrorWatcher watcher_;
};

// The process's log (FFmpeg's callback has no user pointer, so the log is one per process).
Log& log();

// A rate for the log: "24.8 fps".
std::string fps(double rate);

// Builds a line from streamable parts: logLine("stream ", 0, ": end of input").
template <class... Parts>
std::string logLine(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

}  // namespace flumina::host
