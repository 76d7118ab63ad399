// A reader on one of the daemon's FIFOs for the soak: a thread that reads as
// fast as values come and checks their sequence numbers (sequence.h). It can
// be told to leave the FIFO for a while (both its ends closed, as a reader
// process that restarts) or to stall (open, reading nothing). Gaps found from
// then until it has caught up again, and a grace period after, are the
// reader's own doing: counted as dropped, not lost.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "soak/sequence.h"

namespace vantrel::soak {

class FifoReader {
  public:
    using Clock = std::chrono::steady_clock;

    // Opens the FIFO (its buffer made small, so that a 5 s stall overflows
    // it) and starts reading; ok() says whether the open worked.
    FifoReader(std::string path, Stream stream, const SpoilLedger& spoils);
    ~FifoReader();
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    bool ok() const { return opened_; }
    void leaveFor(std::chrono::milliseconds away);
    void stallFor(std::chrono::milliseconds stall);
    SequenceCounts counts() const;
    // Waits until the value numbered `sent - 1` has come, or nothing came for
    // `quiet`; then counts what never came.
    void finish(uint64_t sent, std::chrono::milliseconds quiet);

  private:
    bool open();
    void close();
    void run();
    void readAvailable();
    void disturb(std::chrono::milliseconds length, bool leave);

    std::string path_;
    int reader_ = -1;
    int keeper_ = -1;  // a write end of our own: no end of file between values
    bool opened_ = false;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    SequenceCheck check_;
    Clock::time_point pauseUntil_{};    // leaving or stalling until then
    bool leaving_ = false;              // the pause is away from the FIFO
    bool disturbed_ = false;            // since the last pause, until caught up
    Clock::time_point excusedUntil_{};  // gaps before then are the reader's
    Clock::time_point lastValue_{};
    int carried_ = 0;                   // bytes of a value split between reads
    unsigned char partial_[4] = {};
    std::thread thread_;
};

}  // namespace vantrel::soak
