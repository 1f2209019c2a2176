// Where a session's recordings go with --record DIR: per recorded stream a
// file named by the session's start and the stream's index
// ("20240607-153012.345-stream0.mkv"), and beside them a JSON record of the
// session ("20240607-153012.345-session.json"): its use type, its
// configuration as the client sent it, and per stream its input and the
// replay:// URL of its recording.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace flumina::host {

struct RecordedStream {
    std::size_t index = 0;
    std::string input;  // as the log describes it
    std::string file;   // its recording's path; empty when it has none
};

class SessionRecording {
public:
    // A session starting now, recorded into `dir` (absolute, see prepareRecordingDir).
    explicit SessionRecording(std::string dir);

    // Where stream `index`'s recording goes.
    std::string streamPath(std::size_t index) const;
    // Writes the JSON record; a failure is logged, and the session runs on.
    void writeRecord(int useType, const nlohmann::json& configuration, const std::vector<RecordedStream>& streams) const;

private:
    std::string dir_;
    std::string stamp_;    // "20240607-153012.345", for names
    std::string started_;  // "2024-06-07T15:30:12.345+0200", for the record
};

// Makes `dir` when missing (not its parents) and returns its absolute path;
// throws std::runtime_error unless it is a folder the host may write in.
std::string prepareRecordingDir(const std::string& dir);

}  // namespace flumina::host
