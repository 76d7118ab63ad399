// What the fuzz harnesses share: hooks on the daemon's frame reads, pipe
// writes and broadcasts, and the report of a broken invariant.
//
// vantrel::readPacket(), readExtendedPacket(), writePipe(PipeIndex, int32_t)
// and runShellCommand(const char*) are wrapped at link time (-Wl,--wrap, see
// CMakeLists.txt). Before each frame read the hook works out from the unread
// link bytes what the frame must give; afterwards it compares the result, the
// bytes taken, rxLength, the payload and its terminating zero. Each broadcast
// must be the line due for the message just read; no shell runs and no FIFO
// is written. A broken invariant is reported where the sanitizers report, and
// abort() makes libFuzzer keep the input.
#pragma once

#include <cstddef>
#include <cstdint>

#define FUZZ_REQUIRE(condition, ...)                          \
    do {                                                      \
        if (!(condition)) vantrel::fuzz::broken(__VA_ARGS__); \
    } while (0)

namespace vantrel::fuzz {

[[noreturn]] void broken(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Counts {
    size_t standardReads, standardGood, extendedReads, extendedGood;
    size_t acks;          // accepted standard packets with the letter 'A'
    size_t goodAfterAck;  // accepted standard packets after the first 'A'
    size_t leadsAtAck;    // lead bytes read when the first 'A' was accepted
    size_t frameBytes;    // link bytes taken by the frame readers
    size_t broadcasts, pipeWrites;
    int lastFrameLead;  // 'U' or 'Z' for the last frame read
    int lastPipe;       // pipe index and value of the last pipe write
    int32_t lastValue;
};
extern Counts counts;

// Fresh counts and state, no log, a small time scale, the link serving
// `bytes`; motion and light forwarded or not.
void startRun(bool verbose, bool forwarded, const uint8_t* bytes, size_t size);

// rxLength within 0..512 and, after an accepted frame, its zero in place.
void checkReceiveBuffer();

// Since `before`: exactly the pipe write due for the standard `payload`
// (none for nullptr, or when its stream is not forwarded).
void checkPipeWrites(const Counts& before, const uint8_t* payload, bool forwarded);

}  // namespace vantrel::fuzz
