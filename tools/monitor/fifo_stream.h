// One of the daemon's FIFOs as the monitor follows it: waits for it to
// appear, keeps it open (with a write end of its own, so that a read between
// two values waits instead of seeing end-of-file), and cuts what arrives into
// 4-byte values in host byte order, as the daemon writes them.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sparkline.h"

namespace vantrel::monitor {

class FifoStream {
  public:
    FifoStream(std::string name, std::string path, size_t historySize);
    ~FifoStream();
    FifoStream(FifoStream&& other) noexcept;
    FifoStream(const FifoStream&) = delete;
    FifoStream& operator=(const FifoStream&) = delete;
    FifoStream& operator=(FifoStream&&) = delete;

    // Opens the FIFO once it exists. True when it was opened by this call;
    // `error` is set when the path holds something that is not a FIFO.
    bool tryOpen(std::string* error);
    bool isOpen() const { return reader_ >= 0; }
    int descriptor() const { return reader_; }

    // Reads what has arrived; the whole values among it, oldest first (a
    // value cut between two reads is kept for the next one).
    std::vector<int32_t> readValues();
    // Counts a value in the history, the count and the rate.
    void record(int32_t value, Clock::time_point now);

    const std::string& name() const { return name_; }
    const std::string& path() const { return path_; }
    size_t count() const { return count_; }
    std::optional<int32_t> last() const;
    const std::deque<int32_t>& history() const { return history_; }
    double rate(Clock::time_point now) { return rate_.perSecond(now); }

  private:
    std::string name_;
    std::string path_;
    size_t historySize_;
    int reader_ = -1;
    int keeper_ = -1;
    uint8_t partial_[4] = {};
    size_t partialSize_ = 0;
    size_t count_ = 0;
    std::deque<int32_t> history_;
    RateMeter rate_;
};

}  // namespace vantrel::monitor
