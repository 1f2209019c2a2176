// The files a session reads and saves for its client. Only regular files, so
// that a FIFO, a device or a folder never holds the host up or gets written;
// an output is never written through a symbolic link, never truncated before
// the first frame, and never replaced when its mode bits make it read-only
// (the host may run as root, which passes every permission check).
#pragma once

#include <sys/types.h>

#include <string>

#include "file_descriptor.h"

namespace flumina::host {

using korvane::ipc::dev::FileDescriptor;

// Opens `path` for reading; throws std::runtime_error ("cannot open NAME: ...") unless it
// is a regular file. `name` is what the client called it (a file: URL), by default the path.
FileDescriptor openInputFile(const std::string& path, const std::string& name = {});

// Throws std::runtime_error ("cannot open X for writing: ...") unless `path` can
// become an output: a regular file that its mode bits let be written, or a new
// file in an existing folder. Changes nothing.
void checkOutputFile(const std::string& path);

// An output file opened for its first frame.
struct OutputFile {
    FileDescriptor fd;
    bool created = false;  // the host made it: nothing was at the path before
    dev_t device = 0;
    ino_t inode = 0;
};

// Creates `path`, or empties the regular file there, under the rules of checkOutputFile; throws std::runtime_error.
OutputFile openOutputFile(const std::string& path);

// Removes the file at `path` if it is still `file` and the host created it; true if removed.
bool removeCreatedFile(const std::string& path, const OutputFile& file);

}  // namespace flumina::host
