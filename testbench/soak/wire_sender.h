// The board's side of the soak: motion and light frames at the wire's full
// rate (115200 baud, 8N1: 11520 bytes, 1440 standard frames a second), taking
// turns, each carrying its stream's sequence number (sequence.h). The wire's
// faults are put between two frames on request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "link/protocol.h"
#include "simboard/simulated_board.h"
#include "soak/sequence.h"

namespace vantrel::soak {

// What the sender can put on the wire between two frames.
enum class WireFault {
    Garbage,   // a burst of bytes that lead no frame
    Reset,     // the board restarts: a frame cut by it, start-up noise, boot
               // log line, version message
    NfcBurst,  // taps in a row
    CutFrame,  // a board log frame cut short; the stream goes on
};

class WireSender {
  public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    // Starts sending at once.
    WireSender(simboard::SimulatedBoard& board, SpoilLedger& spoils)
        : board_(board), spoils_(spoils), start_(Clock::now()), thread_([this] { run(); }) {}
    ~WireSender() { stop(); }
    WireSender(const WireSender&) = delete;
    WireSender& operator=(const WireSender&) = delete;

    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void inject(WireFault fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(fault);
    }

    uint64_t sent(Stream stream) const { return sent_[stream]; }
    uint64_t frames() const { return sent_[kMotion] + sent_[kLight]; }
    // Broadcasts the daemon owes: version messages (one at start-up) and taps.
    uint64_t broadcastsOwed() const { return 1 + resets_ + taps_; }
    // False once the board could not write for 5 s: the daemon stopped
    // reading its port.
    bool linkFlowing() const { return flowing_; }

  private:
    static constexpr Millis kTick{4};
    static constexpr size_t kMostFramesPerWrite = 64;
    static constexpr Millis kStallLimit{5000};
    static constexpr size_t kGarbageBytes = 256;
    static constexpr int kTapsPerBurst = 5;
    // Frames of each stream after a cut frame whose loss is the wire's: the
    // cut frame takes its missing bytes from them, and a lead byte inside
    // their numbers can start a false extended frame of up to 515 bytes.
    static constexpr uint64_t kSpoiledAfterCut = 720;

    void run() {
        while (!stopping_) {
            std::deque<WireFault> faults;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                faults.swap(pending_);
            }
            for (WireFault fault : faults) apply(fault);
            sendDue();
            std::this_thread::sleep_for(kTick);
        }
    }

    bool write(const simboard::Bytes& bytes) {
        if (board_.sendSteadily(bytes, kStallLimit)) return true;
        flowing_ = false;
        return false;
    }

    // The frames the schedule owes by now, in writes of at most 64 frames.
    void sendDue() {
        double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        uint64_t due = static_cast<uint64_t>(elapsed * kLineStandardFramesPerSecond);
        while (frames() < due && !stopping_) {
            simboard::Bytes batch;
            for (size_t i = 0; i < kMostFramesPerWrite && frames() < due; ++i) {
                Stream stream = frames() % 2 == 0 ? kMotion : kLight;
                uint64_t number = sent_[stream];
                if (stream == kMotion) {
                    uint16_t ps1, ps2;
                    motionFields(number, &ps1, &ps2);
                    batch = simboard::concat(batch, simboard::motion(ps1, ps2));
                } else {
                    batch = simboard::concat(batch, simboard::light(lightVis(number), 0));
                }
                ++sent_[stream];
            }
            if (!write(batch)) return;
        }
    }

    void apply(WireFault fault) {
        unsigned round = faultsApplied_++;
        switch (fault) {
            case WireFault::Garbage:
                write(simboard::garbage(kGarbageBytes, round + 1));
                break;
            case WireFault::Reset: {
                write(simboard::truncated(simboard::motion(0, 0), 3));  // the frame the reset cut
                std::this_thread::sleep_for(Millis(20));
                // Five bytes of start-up noise complete the cut frame (its
                // checksum fails), so the boot output starts on a frame.
                simboard::Bytes noise = {0x00, 0x00, 0xFF, 0xF8, 0x80};
                simboard::FirmwareVersion required;
                simboard::Bytes boot = simboard::concat(
                    simboard::concat(noise, simboard::boardLog("boot " + required.text())),
                    simboard::version(required.major, required.minor, required.patch, 0));
                if (write(boot)) ++resets_;
                break;
            }
            case WireFault::NfcBurst: {
                simboard::Bytes taps;
                for (int i = 0; i < kTapsPerBurst; ++i) {
                    uint8_t id = static_cast<uint8_t>(round * kTapsPerBurst + i);
                    taps = simboard::concat(taps, simboard::nfc(4, 1, {0x04, 0xA1, 0x5C, id}));
                }
                if (write(taps)) taps_ += kTapsPerBurst;
                break;
            }
            case WireFault::CutFrame: {
                simboard::Bytes line = simboard::boardLog("soak: a line cut short");
                size_t keep = 4 + round % (line.size() - 5);  // the log command byte is kept
                spoils_.add(kMotion, sent_[kMotion], sent_[kMotion] + kSpoiledAfterCut);
                spoils_.add(kLight, sent_[kLight], sent_[kLight] + kSpoiledAfterCut);
                write(simboard::truncated(line, keep));
                break;
            }
        }
    }

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
    Clock::time_point start_;
    std::thread thread_;  // last: it starts once everything above is there
};

}  // namespace vantrel::soak
