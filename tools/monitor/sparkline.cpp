#include "sparkline.h"

#include <algorithm>

namespace vantrel::monitor {

namespace {

constexpr const char* kBlocks[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
constexpr int64_t kTopLevel = 7;
// Long enough to smooth a stream of a few values a second, short enough to
// show a stream that stopped within seconds.
constexpr std::chrono::seconds kRateWindow{5};
constexpr std::chrono::seconds kShortestSpan{1};

}  // namespace

std::string sparkline(const std::deque<int32_t>& values) {
    if (values.empty()) return "";
    auto [low, high] = std::minmax_element(values.begin(), values.end());
    int64_t span = static_cast<int64_t>(*high) - *low;
    std::string line;
    for (int32_t value : values) {
        int64_t level = 0;
        if (span > 0) level = ((static_cast<int64_t>(value) - *low) * kTopLevel + span / 2) / span;
        line += kBlocks[level];
    }
    return line;
}

void RateMeter::add(Clock::time_point when) {
    arrivals_.push_back(when);
    forgetBefore(when - kRateWindow);
}

double RateMeter::perSecond(Clock::time_point now) {
    forgetBefore(now - kRateWindow);
    // A stream opened a moment ago is measured over the time it has been open.
    auto span = std::clamp<Clock::duration>(now - since_, kShortestSpan, kRateWindow);
    return static_cast<double>(arrivals_.size()) / std::chrono::duration<double>(span).count();
}

void RateMeter::forgetBefore(Clock::time_point limit) {
    while (!arrivals_.empty() && arrivals_.front() < limit) arrivals_.pop_front();
}

}  // namespace vantrel::monitor
