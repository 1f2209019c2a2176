#include "rate_meter.h"

namespace flumina::host {
namespace {

// A reading this close to the one before the last replaces the last, so frequent askers keep the list short.
constexpr auto kFinestStep = std::chrono::milliseconds(100);

}  // namespace

double RateMeter::update(std::uint64_t count, Clock::time_point at) {
    if (readings_.size() > 1 && at - readings_[readings_.size() - 2].at < kFinestStep) readings_.back() = {at, count};
    else readings_.push_back({at, count});
    while (readings_.size() > 2 && readings_[1].at <= at - window_) readings_.pop_front();
    const Reading& from = readings_.front();
    const double seconds = std::chrono::duration<double>(at - from.at).count();
    return seconds > 0 ? static_cast<double>(count - from.count) / seconds : 0;
}

}  // namespace flumina::host
