// How late getRGB notices a frame, and what its wait costs.
//
// A writer thread plays the host: at a fixed rate it puts a frame into the
// input channel of stream 0 (real shared memory, through libkorvane_ipc) with
// the time of writing in its first bytes, and raises the ready flag. The
// client loops on getRGB and records, per frame, how long after the flag was
// raised it returned, and how much CPU its thread used in all.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../tests/fake_service.h"
#include "channels.h"
#include "flumina.h"
#include "shm_region.h"

namespace {

std::int64_t now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void usage() {
    std::puts(
        "usage: getrgb_wakeup [--seconds N] [--fps F] [--frame-bytes B] [--busy | --sleep-poll]\n"
        "Plays a host writing frames at F per second (default 30) for N seconds (default 10)\n"
        "into /tmp/mmkv/tmp_ipc_rtsp0 and reports getRGB's wake-up latency (median, p99)\n"
        "and the waiting client's CPU use. --busy polls the flag without pause instead of\n"
        "calling getRGB: the latency floor of this machine at this moment, for comparison;\n"
        "--sleep-poll polls it with a 50 us sleep between looks, the simplest sleeping wait.\n"
        "Stop any running flumina-host first.");
}

double percentile(std::vector<std::int64_t> v, double p) {
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    double fps = 30;
    std::size_t frameBytes = 640 * 480 * 3;
    bool busy = false;
    bool sleepPoll = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (arg == "--busy" || arg == "--sleep-poll") {
            (arg == "--busy" ? busy : sleepPoll) = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "getrgb_wakeup: %s needs a value (see --help)\n", arg.c_str());
            return 2;
        }
        if (arg == "--seconds") seconds = std::stod(argv[++i]);
        else if (arg == "--fps") fps = std::stod(argv[++i]);
        else if (arg == "--frame-bytes") frameBytes = std::stoul(argv[++i]);
        else {
            std::fprintf(stderr, "getrgb_wakeup: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }

    ::mkdir(flumina::channels::kChannelDir, 0755);
    FakeService service;
    PortFileGuard port(std::to_string(service.port()));
    Android client;
    std::fflush(stdout);
    client.start("[{}]", 8);
    auto channel = korvane::ipc::dev::ShmRegion::open(flumina::channels::inputChannelName(0));
    channel->store_word_release(flumina::channels::kReadyFlagOffset, 0);

    const std::int64_t period = static_cast<std::int64_t>(1e9 / fps);
    const int frames = static_cast<int>(seconds * fps);
    std::atomic<bool> done{false};
    int dropped = 0;
    std::thread host([&] {
        std::int64_t next = now(CLOCK_MONOTONIC) + period;
        while (!done.load()) {
            timespec ts{static_cast<time_t>(next / 1'000'000'000), static_cast<long>(next % 1'000'000'000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            next += period;
            if (channel->load_word_acquire(flumina::channels::kReadyFlagOffset) != 0) {
                ++dropped;  // the client still holds the previous frame
                continue;
            }
            char* payload = channel->span(frameBytes, flumina::channels::kInputPayloadOffset);
            std::memset(payload + 8, 0x5a, std::min<std::size_t>(frameBytes - 8, 4096));
            channel->store_word_release(flumina::channels::kSizeWordOffset, static_cast<std::uint32_t>(frameBytes));
            const std::int64_t raised = now(CLOCK_MONOTONIC);
            std::memcpy(payload, &raised, 8);
            channel->store_word_release(flumina::channels::kReadyFlagOffset, 1);
        }
    });

    const int warmup = static_cast<int>(fps);  // the first second: the wait learns the rate
    std::vector<std::int64_t> latencies;
    std::int64_t cpuStart = 0, wallStart = 0;
    for (int i = 0; i < warmup + frames; ++i) {
        if (i == warmup) {
            cpuStart = now(CLOCK_THREAD_CPUTIME_ID);
            wallStart = now(CLOCK_MONOTONIC);
        }
        char* frame = nullptr;
        long size;
        if (busy || sleepPoll) {
            channel->store_word_release(flumina::channels::kReadyFlagOffset, 0);
            while (channel->load_word_acquire(flumina::channels::kReadyFlagOffset) != 1) {
                if (sleepPoll) std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            frame = channel->span(frameBytes, flumina::channels::kInputPayloadOffset);
            size = static_cast<long>(channel->load_word_acquire(flumina::channels::kSizeWordOffset));
        } else {
            size = client.getRGB(&frame, 0);
        }
        const std::int64_t seen = now(CLOCK_MONOTONIC);
        if (size != static_cast<long>(frameBytes)) {
            std::fprintf(stderr, "getrgb_wakeup: frame of %ld bytes, expected %zu\n", size, frameBytes);
            return 1;
        }
        std::int64_t raised;
        std::memcpy(&raised, frame, 8);
        if (i >= warmup) latencies.push_back(seen - raised);
        if ((i + 1) % static_cast<int>(fps * 5) == 0)
            std::fprintf(stderr, "getrgb_wakeup: %d/%d frames\n", i + 1, warmup + frames);
    }
    const double cpu = static_cast<double>(now(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
    const double wall = static_cast<double>(now(CLOCK_MONOTONIC) - wallStart);
    done = true;
    host.join();

    std::printf("%s: frames %zu at %.0f/s, %zu bytes each, %d dropped by the host\n", busy ? "busy poll" : sleepPoll ? "50 us sleep poll" : "getRGB", latencies.size(), fps,
                frameBytes, dropped);
    std::printf("wake-up latency: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n",
                percentile(latencies, 0.5), percentile(latencies, 0.9), percentile(latencies, 0.99),
                percentile(latencies, 1.0));
    std::printf("waiting client CPU: %.2f%% of a core\n", 100.0 * cpu / wall);
    return 0;
}
