// An AVIOContext over a file the host opened itself, so that FFmpeg reads or
// writes exactly that file and never opens one by name.
#pragma once

extern "C" {
#include <libavformat/avio.h>
}

#include "file_descriptor.h"

namespace flumina::host {

using korvane::ipc::dev::FileDescriptor;

class FileIo {
public:
    enum class Mode { Read, Write };
    // Seekable, from the file's current offset; throws std::bad_alloc.
    FileIo(FileDescriptor fd, Mode mode);
    // Frees the context (after a flush when writing); the descriptor closes with it.
    ~FileIo();
    FileIo(const FileIo&) = delete;
    FileIo& operator=(const FileIo&) = delete;

    // For AVFormatContext::pb, with AVFMT_FLAG_CUSTOM_IO set.
    AVIOContext* context() const { return context_; }

private:
    static int read(void* self, uint8_t* buffer, int size);
    static int write(void* self, uint8_t* buffer, int size);
    static int64_t seek(void* self, int64_t offset, int whence);

    FileDescriptor fd_;
    AVIOContext* context_ = nullptr;
};

}  // namespace flumina::host
