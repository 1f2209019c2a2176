// What the live view's board reports of attached sessions, and what it hands out once they are gone.
#include <gtest/gtest.h>

#include "session_config.h"
#include "view_board.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct BoardTest : ::testing::Test {
    ViewBoard board{PixelOrder::Rgb, VideoCodec::Hevc};
    StreamStats stats[2];
    std::unique_ptr<korvane::ipc::dev::ShmRegion> displays[2] = {
        korvane::ipc::dev::ShmRegion::anonymous("display 0", 64), korvane::ipc::dev::ShmRegion::anonymous("display 1", 64)};

    // Stream 0 reads a file and saves to /out.mp4; stream 1 has no input nor output.
    ViewedSession session() {
        ViewedSession viewed{7, {}};
        for (std::size_t index : {0, 1}) {
            ViewedStream& stream = viewed.streams.emplace_back();
            stream.index = index;
            stream.stats = &stats[index];
            stream.display = displays[index].get();
        }
        ViewedStream& file = viewed.streams[0];
        file.input = "file /in.mp4: h264 1280 x 720";
        file.frameSize = {1280, 720};
        file.outputs = {"/out.mp4"};
        file.outSize = FrameSize{640, 360};
        file.outFrameRate = 25;
        file.decoded = std::make_shared<FrameTap>();
        file.pushed = std::make_shared<FrameTap>();
        viewed.streams[1].input = "no input";
        return viewed;
    }
};

TEST_F(BoardTest, ReportsEachStreamWithItsCountsAndRates) {
    board.attach(session());
    stats[0].delivered = 50;
    stats[0].shown = 49;
    stats[0].dropped = 2;
    stats[0].inputEnded = true;
    const json status = board.status(ViewBoard::Clock::now() + 2s);
    const json& running = status["session"];
    EXPECT_EQ(running["id"], 1);
    EXPECT_EQ(running["useType"], 7);
    EXPECT_EQ(running["useTypeMeaning"], "files");
    ASSERT_EQ(running["streams"].size(), 2u);
    const json& file = running["streams"][0];
    EXPECT_EQ(file["input"], "file /in.mp4: h264 1280 x 720");
    EXPECT_EQ(file["width"], 1280);
    EXPECT_EQ(file["height"], 720);
    EXPECT_EQ(file["inputEnded"], true);
    EXPECT_EQ(file["outputs"], json::array({"/out.mp4"}));
    EXPECT_EQ(file["output"], (json{{"width", 640}, {"height", 360}, {"frameRate", 25.0}, {"codec", "hevc"}}));
    EXPECT_EQ(file["counts"]["delivered"], 50);
    EXPECT_EQ(file["counts"]["shown"], 49);
    EXPECT_EQ(file["counts"]["dropped"], 2);
    EXPECT_NEAR(file["fps"]["delivered"].get<double>(), 25, 0.1);
    EXPECT_NEAR(file["fps"]["shown"].get<double>(), 24.5, 0.1);
    EXPECT_EQ(file["fps"]["pushed"], 0.0);
    EXPECT_EQ(file["lastError"], nullptr);
    EXPECT_FALSE(running["streams"][1].contains("output"));
    EXPECT_EQ(status["lastError"], nullptr);
}

TEST_F(BoardTest, StreamsKeepTheirOwnErrorsAndTheSessionTheRest) {
    board.attach(session());
    stats[1].error.report(1, "push channel: no more frames taken: boom");
    board.noteError("stream 1: push channel: no more frames taken: boom", true);
    stats[0].error.report("output /out.mp4 stopped: Broken pipe");
    board.noteError("output /out.mp4 stopped: Broken pipe", true);
    board.noteError("cannot end input channel /tmp/mmkv/tmp_ipc_rtsp9: gone", false);
    board.noteError("stream 0: a stream's error that it does not keep", true);
    const json status = board.status();
    EXPECT_EQ(status["session"]["streams"][1]["lastError"], "push channel: no more frames taken: boom");
    EXPECT_EQ(status["session"]["streams"][0]["lastError"], "output /out.mp4 stopped: Broken pipe");
    EXPECT_EQ(status["session"]["lastError"], "cannot end input channel /tmp/mmkv/tmp_ipc_rtsp9: gone");
    EXPECT_EQ(status["lastError"], "stream 0: a stream's error that it does not keep");
}

TEST_F(BoardTest, SaysHowTheLastSessionEndedOrWhyNoneStarted) {
    int changes = 0;
    board.onChange([&] { ++changes; });
    board.attach(session());
    board.detach("client gone (process 42 exited)");
    board.refused(std::make_exception_ptr(ConfigError("stream 0: cannot open /missing.mp4")));
    const json status = board.status();
    EXPECT_EQ(status["session"], nullptr);
    EXPECT_EQ(status["lastSession"], (json{{"id", 1}, {"ended", "client gone (process 42 exited)"}}));
    EXPECT_EQ(status["lastError"], "session not started: stream 0: cannot open /missing.mp4");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(board.sessionId(), 0u);
}

TEST_F(BoardTest, HandsOutFrameSourcesOfTheRunningSessionOnly) {
    board.attach(session());
    const auto shownTile = board.source({1, 0, FrameKind::Shown});
    ASSERT_TRUE(shownTile);
    EXPECT_EQ(shownTile->sizes, (std::vector<FrameSize>{{1280, 720}, {640, 360}}));
    EXPECT_FALSE(shownTile->tap);
    EXPECT_TRUE(board.source({1, 0, FrameKind::Pushed})->tap);
    EXPECT_EQ(board.source({1, 1, FrameKind::Input})->absent, "this stream has no input");
    EXPECT_FALSE(board.source({1, 5, FrameKind::Shown}));
    EXPECT_FALSE(board.source({2, 0, FrameKind::Shown}));

    const std::vector<char> frame(12, 'x');  // shown as a client shows it: size word, then payload
    const std::uint32_t size = frame.size();
    displays[0]->write(reinterpret_cast<const char*>(&size), 4, 0);
    displays[0]->write(frame.data(), frame.size(), 4);
    stats[0].shown = 1;
    const auto latest = board.shownAfter({1, 0, FrameKind::Shown}, 0);
    ASSERT_TRUE(latest);
    EXPECT_EQ(*latest->first, std::vector<char>(12, 'x'));
    EXPECT_EQ(latest->second, 1u);
    EXPECT_FALSE(board.shownAfter({1, 0, FrameKind::Shown}, 1)->first);

    board.attach(session());  // a new session replaces this one
    EXPECT_FALSE(board.source({1, 0, FrameKind::Shown}));
    EXPECT_FALSE(board.shownAfter({1, 0, FrameKind::Shown}, 0));
    EXPECT_EQ(*latest->first, std::vector<char>(12, 'x'));  // what was handed out stays valid
}

}  // namespace
}  // namespace flumina::host
