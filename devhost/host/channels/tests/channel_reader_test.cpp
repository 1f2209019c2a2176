// The sequence-lock reader against a client writing as the clients do (size
// word, then payload) from another thread, on regions no other process sees.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "channel_reader.h"
#include "channels.h"

namespace flumina::host {
namespace {

namespace ch = flumina::channels;
using korvane::ipc::dev::ShmRegion;

constexpr std::size_t kFrameBytes = 64 * 48 * 3;

// A push as a client makes it: the size word, then the payload.
void push(ShmRegion& channel, const std::vector<char>& frame) {
    const auto size = static_cast<std::uint32_t>(frame.size());
    channel.write(reinterpret_cast<const char*>(&size), 4, ch::kSizeWordOffset);
    channel.write(frame.data(), frame.size(), ch::kPushPayloadOffset);
}

std::vector<char> numbered(int number) {
    std::vector<char> frame(kFrameBytes, static_cast<char>(number % 7));  // neighbours may be identical
    std::memcpy(frame.data(), &number, sizeof number);
    return frame;
}

TEST(ChannelReaderTest, TakesEveryFrameOfAFastClientOnceAndInOrder) {
    auto channel = ShmRegion::anonymous("push", ch::kPushPayloadOffset + kFrameBytes);
    ChannelReader reader(*channel, ch::kPushPayloadOffset);
    constexpr int kFrames = 500;
    std::thread client([&] {
        for (int number = 0; number < kFrames; ++number) push(*channel, numbered(number));
    });
    std::atomic<bool> stop{false};
    std::vector<char> frame;
    for (int number = 0; number < kFrames; ++number) {
        const std::optional<TakenFrame> taken = reader.take(&frame, stop);
        ASSERT_TRUE(taken);
        ASSERT_TRUE(taken->sound(frame)) << number;
        ASSERT_EQ(taken->missed, 0u) << number;
        ASSERT_EQ(frame, numbered(number));
    }
    client.join();
}

TEST(ChannelReaderTest, TakesNothingUntilThePayloadIsWrittenAndTellsAMismatch) {
    auto channel = ShmRegion::anonymous("display", ch::kDisplayPayloadOffset + kFrameBytes);
    ChannelReader reader(*channel, ch::kDisplayPayloadOffset);
    std::atomic<bool> stop{false};
    std::vector<char> frame;
    const std::uint32_t size = kFrameBytes;
    channel->write(reinterpret_cast<const char*>(&size), 4, ch::kSizeWordOffset);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
        reader.wake();
    });
    EXPECT_FALSE(reader.take(&frame, stop)) << "a size word alone is no frame";
    stopper.join();

    stop = false;
    const std::vector<char> half(kFrameBytes / 2, 'x');
    channel->write(half.data(), half.size(), ch::kDisplayPayloadOffset);
    const std::optional<TakenFrame> taken = reader.take(&frame, stop);
    ASSERT_TRUE(taken);
    EXPECT_FALSE(taken->sound(frame));
    EXPECT_EQ(taken->bytes, kFrameBytes);
    EXPECT_EQ(taken->written, kFrameBytes / 2);
}

TEST(ChannelReaderTest, AClientWaitsForTheReaderThenWritesAnywayAndTheLossIsCounted) {
    auto channel = ShmRegion::anonymous("push", ch::kPushPayloadOffset + kFrameBytes);
    ChannelReader reader(*channel, ch::kPushPayloadOffset);
    push(*channel, numbered(1));
    const auto before = std::chrono::steady_clock::now();
    push(*channel, numbered(2));  // the reader never took frame 1
    EXPECT_GE(std::chrono::steady_clock::now() - before, korvane::ipc::dev::WriteLog::kMaxWriterWait);

    std::atomic<bool> stop{false};
    std::vector<char> frame;
    const std::optional<TakenFrame> taken = reader.take(&frame, stop);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->missed, 1u);
    EXPECT_EQ(frame, numbered(2));
}

TEST(ChannelReaderTest, CountsFramesWithoutCopyingThemWhileTheLatestStaysInTheChannel) {
    auto channel = ShmRegion::anonymous("display", ch::kDisplayPayloadOffset + kFrameBytes);
    ChannelReader reader(*channel, ch::kDisplayPayloadOffset);
    std::atomic<bool> stop{false};
    std::vector<char> latest;
    EXPECT_FALSE(ChannelReader::copyLatest(*channel, ch::kDisplayPayloadOffset, latest)) << "nothing shown yet";
    for (int number = 0; number < 3; ++number) {
        const std::vector<char> frame = numbered(number);
        const auto size = static_cast<std::uint32_t>(frame.size());
        channel->write(reinterpret_cast<const char*>(&size), 4, ch::kSizeWordOffset);
        channel->write(frame.data(), frame.size(), ch::kDisplayPayloadOffset);
        const std::optional<TakenFrame> taken = reader.take(nullptr, stop);
        ASSERT_TRUE(taken);
        EXPECT_EQ(taken->bytes, kFrameBytes);
        EXPECT_EQ(taken->missed, 0u);
    }
    ASSERT_TRUE(ChannelReader::copyLatest(*channel, ch::kDisplayPayloadOffset, latest));
    EXPECT_EQ(latest, numbered(2));
}

TEST(ChannelReaderTest, WithoutAReaderWritesNeverWait) {
    auto channel = ShmRegion::anonymous("push", ch::kPushPayloadOffset + kFrameBytes);
    { ChannelReader gone(*channel, ch::kPushPayloadOffset); }
    const auto before = std::chrono::steady_clock::now();
    for (int number = 0; number < 3; ++number) push(*channel, numbered(number));
    EXPECT_LT(std::chrono::steady_clock::now() - before, korvane::ipc::dev::WriteLog::kMaxWriterWait);
}

}  // namespace
}  // namespace flumina::host
