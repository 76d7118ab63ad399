// One of the daemon's FIFOs as the monitor follows it: waits for it to
// appear, reads it through the tools' FIFO reader (tools/fifo/fifo_reader.h),
// and keeps the latest values, their count and their rate.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sparkline.h"
#include "tools/fifo/fifo_reader.h"

namespace vantrel::monitor {

class FifoStream {
  public:
    FifoStream(std::string name, std::string path, size_t historySize);

    // Opens the FIFO once it exists. True when it was opened by this call;
    // `error` is set when the path holds something that is not a FIFO.
    bool tryOpen(std::string* error);
    bool isOpen() const { return reader_.isOpen(); }
    int descriptor() const { return reader_.descriptor(); }

    // What has arrived, as FifoReader::readValues gives it.
    std::vector<int32_t> readValues() { return reader_.readValues(); }
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
    fifo::FifoReader reader_;
    size_t count_ = 0;
    std::deque<int32_t> history_;
    RateMeter rate_;
};

}  // namespace vantrel::monitor
