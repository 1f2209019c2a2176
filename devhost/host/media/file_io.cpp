#include "file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace flumina::host {
namespace {

constexpr int kBufferBytes = 64 * 1024;

}  // namespace

FileIo::FileIo(FileDescriptor fd, Mode mode) : fd_(std::move(fd)) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
    if (buffer == nullptr) throw std::bad_alloc();
    const bool writing = mode == Mode::Write;
    context_ = avio_alloc_context(buffer, kBufferBytes, writing ? 1 : 0, this, writing ? nullptr : &FileIo::read,
                                  writing ? &FileIo::write : nullptr, &FileIo::seek);
    if (context_ == nullptr) {
        av_free(buffer);
        throw std::bad_alloc();
    }
}

FileIo::~FileIo() {
    if (context_->write_flag) avio_flush(context_);
    // The context may have replaced its buffer; free whichever it holds now.
    av_freep(&context_->buffer);
    avio_context_free(&context_);
}

int FileIo::read(void* self, uint8_t* buffer, int size) {
    for (;;) {
        const ssize_t got = ::read(static_cast<FileIo*>(self)->fd_.get(), buffer, static_cast<std::size_t>(size));
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

int FileIo::write(void* self, uint8_t* buffer, int size) {
    int done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(static_cast<FileIo*>(self)->fd_.get(), buffer + done, static_cast<std::size_t>(size - done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return AVERROR(errno);
        done += static_cast<int>(wrote);
    }
    return done;
}

int64_t FileIo::seek(void* self, int64_t offset, int whence) {
    const int fd = static_cast<FileIo*>(self)->fd_.get();
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

}  // namespace flumina::host
