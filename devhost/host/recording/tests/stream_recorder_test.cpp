// What a recording does when its file cannot take more: it stops, says so once, and never holds the input up.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"
#include "stream_recorder.h"

namespace flumina::host {
namespace {

// While it lives, a write past `bytes` into a file fails (EFBIG), as one to a full disk does.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        const rlimit limited{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }

private:
    void (*handler_)(int);
    rlimit saved_{};
};

TEST(StreamRecorderTest, AWriteErrorStopsTheRecordingWithOneErrorWhilePacketsGoOnComing) {
    std::mutex mutex;
    std::vector<std::string> logged;
    log().watchErrors([&](const std::string& text, bool) {
        std::lock_guard<std::mutex> lock(mutex);
        logged.push_back(text);
    });
    StreamError errors;
    const std::string path = ::testing::TempDir() + "stream_recorder_test.mkv";
    ::unlink(path.c_str());
    FormatOutputPtr source(avformat_alloc_context());
    AVStream* stream = avformat_new_stream(source.get(), nullptr);
    ASSERT_NE(stream, nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;  // a camera's, which needs no parameters up front
    stream->codecpar->width = 320;
    stream->codecpar->height = 240;
    stream->time_base = {1, 90000};
    std::string failure;
    {
        FileSizeLimit limit(256 << 10);
        StreamRecorder recorder(0, path, errors);
        recorder.beginSegment(*stream, "a test source");
        PacketPtr packet = allocatePacket();
        for (int i = 0; i < 1000; ++i) {  // 4 MiB, flushed every MiB
            ASSERT_EQ(av_new_packet(packet.get(), 4096), 0);
            std::memset(packet->data, i, 4096);
            packet->pts = packet->dts = i * 3600;
            recorder.packet(*packet);
            av_packet_unref(packet.get());
        }
        recorder.finish();
        failure = recorder.failure();
    }
    log().watchErrors({});
    EXPECT_EQ(failure, "cannot write " + path + ": File too large");
    EXPECT_EQ(errors.last(), "recording stopped: " + failure + "; " + path + " holds what came before");
    EXPECT_EQ(logged, std::vector<std::string>{"stream 0: " + errors.last()});
    ::unlink(path.c_str());
}

}  // namespace
}  // namespace flumina::host
