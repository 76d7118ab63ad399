#include "soak/wire_sender.h"

#include <string>

#include "link/protocol.h"

namespace vantrel::soak {

namespace {

using Clock = std::chrono::steady_clock;
using simboard::Bytes;

constexpr double kFramesPerSecond = kLineStandardFramesPerSecond;
constexpr std::chrono::milliseconds kTick{4};
constexpr size_t kMostFramesPerWrite = 64;
constexpr std::chrono::milliseconds kStallLimit{5000};
constexpr size_t kGarbageBytes = 256;
constexpr int kTapsPerBurst = 5;
// Frames of each stream after a cut frame whose loss is the wire's: the cut
// frame takes its missing bytes from them, and a lead byte inside their
// numbers can start a false extended frame of up to 515 bytes.
constexpr uint64_t kSpoiledAfterCut = 720;

void append(Bytes* to, const Bytes& bytes) {
    to->insert(to->end(), bytes.begin(), bytes.end());
}

}  // namespace

WireSender::WireSender(simboard::SimulatedBoard& board, SpoilLedger& spoils)
    : board_(board), spoils_(spoils) {}

WireSender::~WireSender() {
    stop();
}

void WireSender::start() {
    start_ = Clock::now();
    thread_ = std::thread([this] { run(); });
}

void WireSender::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void WireSender::inject(WireFault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(fault);
}

void WireSender::run() {
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

bool WireSender::write(const Bytes& bytes) {
    if (board_.sendSteadily(bytes, kStallLimit)) return true;
    flowing_ = false;
    return false;
}

// The frames the schedule owes by now, in writes of at most 64 frames.
void WireSender::sendDue() {
    double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    uint64_t due = static_cast<uint64_t>(elapsed * kFramesPerSecond);
    while (frames() < due && !stopping_) {
        Bytes batch;
        for (size_t i = 0; i < kMostFramesPerWrite && frames() < due; ++i) {
            Stream stream = frames() % 2 == 0 ? kMotion : kLight;
            uint64_t number = sent_[stream];
            if (stream == kMotion) {
                uint16_t ps1, ps2;
                motionFields(number, &ps1, &ps2);
                append(&batch, simboard::motion(ps1, ps2));
            } else {
                append(&batch, simboard::light(lightVis(number), 0));
            }
            ++sent_[stream];
        }
        if (!write(batch)) return;
    }
}

void WireSender::apply(WireFault fault) {
    unsigned round = faultsApplied_++;
    switch (fault) {
        case WireFault::Garbage:
            write(simboard::garbage(kGarbageBytes, round + 1));
            break;
        case WireFault::Reset: {
            write(simboard::truncated(simboard::motion(0, 0), 3));  // the frame the reset cut
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // Five bytes of start-up noise complete the cut frame (its
            // checksum fails), so the boot output starts on a frame.
            Bytes boot = {0x00, 0x00, 0xFF, 0xF8, 0x80};
            simboard::FirmwareVersion required;
            append(&boot, simboard::boardLog("boot " + required.text()));
            append(&boot, simboard::version(required.major, required.minor, required.patch, 0));
            if (write(boot)) ++resets_;
            break;
        }
        case WireFault::NfcBurst: {
            Bytes taps;
            for (int i = 0; i < kTapsPerBurst; ++i) {
                uint8_t id = static_cast<uint8_t>(round * kTapsPerBurst + i);
                append(&taps, simboard::nfc(4, 1, {0x04, 0xA1, 0x5C, id}));
            }
            if (write(taps)) taps_ += kTapsPerBurst;
            break;
        }
        case WireFault::CutFrame: {
            Bytes line = simboard::boardLog("soak: a line cut short");
            size_t keep = 4 + round % (line.size() - 5);  // the log command byte is kept
            spoils_.add(kMotion, sent_[kMotion], sent_[kMotion] + kSpoiledAfterCut);
            spoils_.add(kLight, sent_[kLight], sent_[kLight] + kSpoiledAfterCut);
            write(simboard::truncated(line, keep));
            break;
        }
    }
}

}  // namespace vantrel::soak
