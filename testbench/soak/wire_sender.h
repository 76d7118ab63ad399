// The board's side of the soak: motion and light frames at the wire's full
// rate (115200 baud, 8N1: 11520 bytes, 1440 standard frames a second), taking
// turns, each carrying its stream's sequence number (sequence.h). The wire's
// faults are put between two frames on request.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "simboard/simulated_board.h"
#include "soak/sequence.h"

namespace vantrel::soak {

enum class WireFault {
    Garbage,   // a burst of bytes that lead no frame
    Reset,     // the board restarts: a frame cut by it, start-up noise, boot
               // log line, version message
    NfcBurst,  // taps in a row
    CutFrame,  // a board log frame cut short; the stream goes on
};

class WireSender {
  public:
    WireSender(simboard::SimulatedBoard& board, SpoilLedger& spoils);
    ~WireSender();  // stops
    WireSender(const WireSender&) = delete;
    WireSender& operator=(const WireSender&) = delete;

    void start();
    void stop();
    void inject(WireFault fault);

    uint64_t sent(Stream stream) const { return sent_[stream]; }
    uint64_t frames() const { return sent_[kMotion] + sent_[kLight]; }
    // Broadcasts the daemon owes: version messages (one at start-up) and taps.
    uint64_t broadcastsOwed() const { return 1 + resets_ + taps_; }
    // False once the board could not write for 5 s: the daemon stopped
    // reading its port.
    bool linkFlowing() const { return flowing_; }

  private:
    void run();
    void sendDue();
    void apply(WireFault fault);
    bool write(const simboard::Bytes& bytes);

    simboard::SimulatedBoard& board_;
    SpoilLedger& spoils_;
    std::atomic<uint64_t> sent_[2] = {};
    std::atomic<uint64_t> resets_{0};
    std::atomic<uint64_t> taps_{0};
    std::atomic<bool> flowing_{true};
    std::atomic<bool> stopping_{false};
    unsigned faultsApplied_ = 0;
    std::mutex mutex_;
    std::deque<WireFault> pending_;
    std::chrono::steady_clock::time_point start_;
    std::thread thread_;
};

}  // namespace vantrel::soak
