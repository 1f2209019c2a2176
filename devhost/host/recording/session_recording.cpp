#include "session_recording.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>

#include "log.h"

namespace flumina::host {
namespace {

// `format` (strftime's) of the local time `now`, with ".mmm" after its seconds.
std::string timeText(std::chrono::system_clock::time_point now, const char* date, const char* zone) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char head[64], tail[16];
    std::strftime(head, sizeof head, date, &local);
    std::strftime(tail, sizeof tail, zone, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%s.%03d%s", head, static_cast<int>(millis), tail);
    return text;
}

}  // namespace

SessionRecording::SessionRecording(std::string dir) : dir_(std::move(dir)) {
    const auto now = std::chrono::system_clock::now();
    stamp_ = timeText(now, "%Y%m%d-%H%M%S", "");
    started_ = timeText(now, "%Y-%m-%dT%H:%M:%S", "%z");
}

std::string SessionRecording::streamPath(std::size_t index) const {
    return logLine(dir_, "/", stamp_, "-stream", index, ".mkv");
}

void SessionRecording::writeRecord(int useType, const nlohmann::json& configuration,
                                   const std::vector<RecordedStream>& streams) const {
    nlohmann::json record = {{"started", started_}, {"useType", useType}, {"configuration", configuration}};
    nlohmann::json& entries = record["streams"] = nlohmann::json::array();
    for (const RecordedStream& stream : streams) {
        const bool recorded = !stream.file.empty();
        entries.push_back({{"index", stream.index},
                           {"input", stream.input},
                           {"recording", recorded ? nlohmann::json(stream.file.substr(dir_.size() + 1)) : nullptr},
                           {"replay", recorded ? nlohmann::json("replay://" + stream.file) : nullptr}});
    }
    const std::string path = dir_ + "/" + stamp_ + "-session.json";
    std::ofstream out(path, std::ios::trunc);
    out << record.dump(2) << "\n";
    out.close();
    if (!out) log().error(logLine("cannot write the session's record ", path, ": ", std::strerror(errno)));
}

std::string prepareRecordingDir(const std::string& dir) {
    auto refused = [&](const std::string& why) { return std::runtime_error("cannot record into " + dir + ": " + why); };
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) throw refused(std::strerror(errno));
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw refused(std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) throw refused("it is no folder");
    char absolute[PATH_MAX];
    if (::access(dir.c_str(), W_OK | X_OK) != 0 || ::realpath(dir.c_str(), absolute) == nullptr)
        throw refused(std::strerror(errno));
    return absolute;
}

}  // namespace flumina::host
