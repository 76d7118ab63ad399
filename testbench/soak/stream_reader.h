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
#include <vector>

#include "soak/sequence.h"
#include "tools/fifo/fifo_reader.h"

namespace vantrel::soak {

class StreamReader {
  public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    // Opens the FIFO (its buffer made small, so that a 5 s stall overflows
    // it) and starts reading; ok() says whether the open worked.
    StreamReader(std::string path, Stream stream, const SpoilLedger& spoils)
        : path_(std::move(path)), opened_(open()), check_(stream, spoils) {
        thread_ = std::thread([this] { run(); });
    }
    ~StreamReader() {
        stopping_ = true;
        thread_.join();
    }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    bool ok() const { return opened_; }
    // Leaves the FIFO (`leave`) or stalls on it for `length`.
    void pauseFor(Millis length, bool leave) {
        std::lock_guard<std::mutex> lock(mutex_);
        pauseUntil_ = Clock::now() + length;
        leaving_ = leave;
        disturbed_ = true;
    }
    SequenceCounts counts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return check_.counts();
    }
    // Waits until the value numbered `sent - 1` has come, or nothing came for
    // `quiet`; then counts what never came.
    void finish(uint64_t sent, Millis quiet) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (check_.counts().next >= sent || Clock::now() - lastValue_ > quiet) {
                    check_.closeAt(sent);
                    return;
                }
            }
            std::this_thread::sleep_for(kPoll);
        }
    }

  private:
    // Two pages: about 2.8 s of one stream, so a 5 s stall loses values.
    static constexpr int kFifoBytes = 8192;
    // After coming back and catching up: the daemon's next write may still
    // carry the gap the pause made.
    static constexpr Millis kGrace{2000};
    static constexpr Millis kPoll{50};

    bool open() {
        std::string error;
        return fifo_.open(path_, &error) && fifo_.setCapacity(kFifoBytes);
    }

    void run() {
        while (!stopping_) {
            bool paused, leaving;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                paused = Clock::now() < pauseUntil_;
                leaving = leaving_;
            }
            if (paused) {
                if (leaving) fifo_.close();  // what was in the FIFO goes with it
                std::this_thread::sleep_for(kPoll);
                continue;
            }
            if (!fifo_.isOpen() && !open()) {  // back after leaving; the daemon keeps the FIFO
                fifo_.close();
                std::this_thread::sleep_for(kPoll);
                continue;
            }
            if (fifo_.waitReadable(kPoll)) readAvailable();
        }
    }

    // Reads what the FIFO holds; once it is empty after a pause has ended (not
    // in a read that the pause began during), the reader has caught up and the
    // grace period starts.
    void readAvailable() {
        std::vector<int32_t> values = fifo_.readValues();
        if (values.empty()) return;
        int waiting = fifo_.unreadBytes();
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point now = Clock::now();
        bool excused = disturbed_ || now < excusedUntil_;
        for (int32_t value : values) check_.take(value, excused);
        lastValue_ = now;
        if (disturbed_ && now >= pauseUntil_ && waiting == 0) {
            disturbed_ = false;
            excusedUntil_ = now + kGrace;
        }
    }

    std::string path_;
    fifo::FifoReader fifo_;
    bool opened_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    SequenceCheck check_;
    Clock::time_point pauseUntil_{};    // leaving or stalling until then
    bool leaving_ = false;              // the pause is away from the FIFO
    bool disturbed_ = false;            // since the last pause, until caught up
    Clock::time_point excusedUntil_{};  // gaps before then are the reader's
    Clock::time_point lastValue_ = Clock::now();
    std::thread thread_;
};

}  // namespace vantrel::soak
