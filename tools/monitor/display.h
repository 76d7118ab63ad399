// What the monitor prints. On a terminal: one line per stream (value, rate,
// sparkline), redrawn in place with ANSI escapes, the cursor hidden until the
// end. Otherwise plain lines that a script can read: one per value,
// "pipeProx 437 2.0/s ▁▅█▃", and one when a FIFO is waited for or opened.
// Both end with a summary line per stream.
#pragma once

#include <vector>

#include "fifo_stream.h"

namespace vantrel::monitor {

class Display {
  public:
    explicit Display(bool terminal) : terminal_(terminal) {}
    bool terminal() const { return terminal_; }

    void begin(std::vector<FifoStream>& streams);
    void opened(const FifoStream& stream);
    void arrived(FifoStream& stream, int32_t value, Clock::time_point now);
    void redraw(std::vector<FifoStream>& streams, Clock::time_point now);
    // Shows the cursor again (terminal) and prints the summary.
    void end(std::vector<FifoStream>& streams);

  private:
    std::string terminalLine(FifoStream& stream, Clock::time_point now) const;

    bool terminal_;
    bool drawn_ = false;
};

}  // namespace vantrel::monitor
