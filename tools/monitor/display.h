// What the monitor prints. On a terminal: a line of column labels, then one
// line per stream (last value, rate, count, sparkline), redrawn in place with
// ANSI escapes, the cursor hidden until the end. Every line is cut to the
// terminal's width (narrow columns below 60) so none wraps: a wrapped line
// would throw the redraw off. Otherwise plain lines that a script can read:
// one per value, "pipeProx 437 2.0/s ▁▅█▃", and one when a FIFO is waited for
// or opened. Both end with a summary line per stream. A warning goes to
// standard error; on a terminal it also stays above the redrawn rows.
#pragma once

#include <string>
#include <vector>

#include "fifo_stream.h"

namespace vantrel::monitor {

class Display {
  public:
    explicit Display(bool terminal) : terminal_(terminal) {}

    void begin(std::vector<FifoStream>& streams);
    void opened(const FifoStream& stream);
    void arrived(FifoStream& stream, int32_t value, Clock::time_point now);
    void redraw(std::vector<FifoStream>& streams, Clock::time_point now);
    // One line on standard error; on a terminal it is also drawn above the
    // stream rows and never overwritten by a redraw.
    void warn(const std::string& text);
    // Shows the cursor again (terminal) and prints the summary.
    void end(std::vector<FifoStream>& streams);

  private:
    std::string terminalLine(FifoStream& stream, Clock::time_point now, int columns) const;

    bool terminal_;
    bool drawn_ = false;
    int drawnRows_ = 0;  // rows the last redraw left above the cursor
    int nameWidth_ = 0;
};

}  // namespace vantrel::monitor
