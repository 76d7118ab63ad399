// Sequence numbers carried in the soak's readings, and what became of them.
//
// The driver numbers the motion and light frames of each stream 0, 1, 2...
// and encodes the number in the value the daemon forwards (motion: ps1 + ps2,
// light: vis), modulo what the value can hold. A reader on the FIFO takes the
// number back from each value, so every value that did not arrive is known
// and is put in one of these groups:
//
//   lost      the reader was there and keeping up, and the frame reached the
//             daemon whole: the daemon's fault
//   dropped   the reader was away or stalled (or had just come back): the
//             daemon is meant to drop a value nobody can take
//   spoiled   the frame was sent right after a frame cut short, whose missing
//             bytes the daemon takes from the frames that follow
//
// A value that is not ahead of the last one by a plausible distance (a value
// from a frame that bytes of a cut frame happened to complete with a good
// checksum, or one out of order) is counted as stray.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace vantrel::soak {

enum Stream { kMotion = 0, kLight = 1 };

// Values a stream's number is taken modulo: motion ps1 + ps2 holds 0 to
// 131070, light vis 0 to 65535.
constexpr uint64_t kModulus[2] = {131071, 65536};

// The number a value carries, modulo kModulus.
uint16_t lightVis(uint64_t number);
void motionFields(uint64_t number, uint16_t* ps1, uint16_t* ps2);

// The numbers of frames sent right after a cut frame, per stream.
class SpoilLedger {
  public:
    void add(Stream stream, uint64_t first, uint64_t end);  // [first, end)
    // How many numbers in [first, end) are in a range added so far.
    uint64_t count(Stream stream, uint64_t first, uint64_t end) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<uint64_t, uint64_t>> ranges_[2];
};

struct SequenceCounts {
    uint64_t received = 0;
    uint64_t lost = 0;
    uint64_t dropped = 0;
    uint64_t spoiled = 0;
    uint64_t stray = 0;
    uint64_t next = 0;  // the number expected next
};

// The accounting of one stream's values, in the order they arrive.
class SequenceCheck {
  public:
    SequenceCheck(Stream stream, const SpoilLedger& spoils) : stream_(stream), spoils_(spoils) {}
    // `excused`: a gap found now is the reader's own (away, stalled).
    void take(int32_t value, bool excused);
    // At the end: the numbers below `sent` that never came.
    void closeAt(uint64_t sent);
    const SequenceCounts& counts() const { return counts_; }

  private:
    void gap(uint64_t end, bool excused);

    Stream stream_;
    const SpoilLedger& spoils_;
    SequenceCounts counts_;
};

}  // namespace vantrel::soak
