// Small pieces of the monitor's view of one stream: its sparkline and its rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace vantrel::monitor {

using Clock = std::chrono::steady_clock;

// One block character (U+2581 to U+2588, lowest to highest) per value,
// scaled between the smallest and the largest of them; values that are all
// the same are drawn at the lowest level.
std::string sparkline(const std::deque<int32_t>& values);

// Values per second over the last few seconds.
class RateMeter {
  public:
    explicit RateMeter(Clock::time_point since) : since_(since) {}
    void add(Clock::time_point when);
    double perSecond(Clock::time_point now);

  private:
    void forgetBefore(Clock::time_point limit);

    Clock::time_point since_;  // when counting began (the FIFO was opened)
    std::deque<Clock::time_point> arrivals_;
};

}  // namespace vantrel::monitor
