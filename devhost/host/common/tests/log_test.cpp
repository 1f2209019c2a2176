// What the log promises the threads that log and the one that watches its errors.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "log.h"

namespace flumina::host {
namespace {

using namespace std::chrono_literals;

TEST(LogTest, ClearingTheErrorWatcherWaitsForACallInFlight) {
    Log log;
    std::promise<void> entered;
    std::atomic<bool> left{false};
    log.watchErrors([&](const std::string&, bool) {
        entered.set_value();
        std::this_thread::sleep_for(200ms);  // long enough for the clear below to overtake a call it does not wait for
        left = true;
    });
    std::thread logger([&] { log.error("boom"); });
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    log.watchErrors(nullptr);
    EXPECT_TRUE(left) << "the watcher's owner could be gone while its call still runs";
    logger.join();
}

}  // namespace
}  // namespace flumina::host
