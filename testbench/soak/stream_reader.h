// The soak's reader on one of the daemon's FIFOs: a thread that reads as fast
// as values come, through the tools' FIFO reader, and checks their sequence
// numbers (sequence.h). It can be told to leave the FIFO for a while (both
// its ends closed, as a reader process that restarts) or to stall (open,
// reading nothing). Gaps found from then until it has caught up again, and a
// grace period after, are the reader's own doing: counted as dropped, not
// lost.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "soak/sequence.h"
#include "tools/fifo/fifo_reader.h"

namespace vantrel::soak {

class StreamReader {
  public:
    using Clock = std::chrono::steady_clock;

    // Opens the FIFO (its buffer made small, so that a 5 s stall overflows
    // it) and starts reading; ok() says whether the open worked.
    StreamReader(std::string path, Stream stream, const SpoilLedger& spoils);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    bool ok() const { return opened_; }
    // Leaves the FIFO (`leave`) or stalls on it for `length`.
    void pauseFor(std::chrono::milliseconds length, bool leave);
    SequenceCounts counts() const;
    // Waits until the value numbered `sent - 1` has come, or nothing came for
    // `quiet`; then counts what never came.
    void finish(uint64_t sent, std::chrono::milliseconds quiet);

  private:
    bool open();
    void run();
    void readAvailable();

    std::string path_;
    fifo::FifoReader fifo_;
    bool opened_ = false;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    SequenceCheck check_;
    Clock::time_point pauseUntil_{};    // leaving or stalling until then
    bool leaving_ = false;              // the pause is away from the FIFO
    bool disturbed_ = false;            // since the last pause, until caught up
    Clock::time_point excusedUntil_{};  // gaps before then are the reader's
    Clock::time_point lastValue_{};
    std::thread thread_;
};

}  // namespace vantrel::soak
