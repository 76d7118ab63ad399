// Arbitrary board output through the daemon's receive loop: framing, dispatch,
// handlers, pipes and broadcast lines, exactly as readData() runs them.
//
// Input: byte 0 chooses the run (bit 0: both streams forwarded, bit 1:
// verbose, bit 2: checksums mended, see checksum_repair.h); the rest is what
// the board sends. The loop ends when the bytes are
// used up. Every frame read is compared with the frame on the link
// (frame_oracle.h) and every broadcast line with its message
// (broadcast_oracle.h). Before each wait the harness checks the pass that has
// just ended: one lead byte and the frame it leads taken off the link, the
// reader its lead byte calls for, the pipe value and the broadcast its
// message calls for and nothing else, and the receive buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/daemon_state.h"
#include "fuzz/broadcast_oracle.h"
#include "fuzz/checksum_repair.h"
#include "fuzz/fake_serial.h"
#include "fuzz/frame_oracle.h"
#include "fuzz/fuzz_root.h"
#include "fuzz/invariant.h"
#include "link/receive_loop.h"

namespace vantrel::fuzz {
namespace {

constexpr uint8_t kForwardStreams = 0x01;
constexpr uint8_t kVerbose = 0x02;
constexpr uint8_t kMendChecksums = 0x04;
constexpr uint8_t kExtendedNfc = 7;

// One pass of the loop as it looked when it began.
struct Pass {
    bool reading = false;  // the link had bytes, so the pass reads a lead byte
    uint8_t lead = 0;
    size_t served = 0;
    FrameCounts frames;
    size_t broadcasts = 0;
};

Pass pass;
bool forwarding = false;

size_t broadcastsDue(uint8_t lead, bool accepted) {
    if (!accepted) return 0;
    if (lead == 'U') return gState.rxBuffer[0] == 'I' ? 1 : 0;
    return gState.rxBuffer[0] == kExtendedNfc ? 1 : 0;
}

void checkEndedPass() {
    if (!pass.reading) return;
    const FrameCounts& now = frameCounts();
    size_t standard = now.standardReads - pass.frames.standardReads;
    size_t extended = now.extendedReads - pass.frames.extendedReads;
    FUZZ_REQUIRE(
        standard == (pass.lead == 'U' ? 1u : 0u) && extended == (pass.lead == 'Z' ? 1u : 0u),
        "lead byte 0x%02X led to %zu standard and %zu extended reads", pass.lead, standard,
        extended);
    size_t taken = bytesServed() - pass.served;
    size_t frameBytes = now.bytesInFrames - pass.frames.bytesInFrames;
    FUZZ_REQUIRE(taken == 1 + frameBytes, "a pass took %zu bytes for a lead byte and %zu more",
                 taken, frameBytes);

    bool accepted =
        now.standardGood + now.extendedGood > pass.frames.standardGood + pass.frames.extendedGood;
    bool standardAccepted = accepted && pass.lead == 'U';
    checkPipes(standardAccepted ? pipeValuesOf(gState.rxBuffer, forwarding) : PipeValues{});
    size_t broadcasts = broadcastCount() - pass.broadcasts;
    FUZZ_REQUIRE(broadcasts == broadcastsDue(pass.lead, accepted),
                 "%zu broadcasts for a frame led by 0x%02X", broadcasts, pass.lead);
}

void beginPass() {
    pass.reading = bytesLeft() > 0;
    pass.lead = pass.reading ? unreadBytes()[0] : 0;
    pass.served = bytesServed();
    pass.frames = frameCounts();
    pass.broadcasts = broadcastCount();
}

// Before every wait of the loop.
void checkBetweenPasses() {
    checkEndedPass();
    checkReceiveBuffer();
    FUZZ_REQUIRE(gState.running, "the loop waits again after running was cleared");
    FUZZ_REQUIRE(gState.serialFd == kFakeSerialFd, "serialFd changed to %d",
                 static_cast<int>(gState.serialFd));
    beginPass();
}

void startRun(uint8_t mode) {
    resetDaemonState();
    resetFrameCounts();
    resetBroadcastCount();
    pass = Pass();
    gState.serialFd = kFakeSerialFd;
    gState.verbose = (mode & kVerbose) != 0;
    forwarding = (mode & kForwardStreams) != 0;
    gState.ignoreMotion = !forwarding;
    gState.ignoreLight = !forwarding;
}

// Serves the link bytes to readData() and checks how the loop ended.
void runLoop(uint8_t mode, const uint8_t* bytes, size_t size) {
    startRun(mode);
    serveBytes(bytes, size);
    int result = readData();
    FUZZ_REQUIRE(result == 1, "readData returned %d", result);
    FUZZ_REQUIRE(bytesLeft() == 0, "readData ended with %zu bytes unread", bytesLeft());
    checkReceiveBuffer();
}

// A motion reading, a light reading, a version message and an NFC tap: the
// hooks must see three standard frames, one extended frame and two
// broadcasts, or they have lost their hold on the daemon's calls.
void checkHooksSeeTheDaemon() {
    static const uint8_t kFrames[] = {
        'U', 'M',  0x01, 0x00, 0x00, 0x02, 0x00, 0x50,              // motion 256 + 2
        'U', 'L',  0x00, 0x05, 0x00, 0x00, 0x00, 0x51,              // light 5
        'U', 'I',  0x01, 0x06, 0x19, 0x00, 0x00, 0x69,              // version 1.6.25
        'Z', 0x00, 0x06, 0x07, 0x04, 0x01, 0x02, 0xA1, 0x5C, 0x0B,  // NFC A15C
    };
    runLoop(kForwardStreams, kFrames, sizeof kFrames);
    const FrameCounts& counts = frameCounts();
    FUZZ_REQUIRE(counts.standardGood == 3 && counts.extendedGood == 1 && broadcastCount() == 2,
                 "the hooks saw %zu/%zu frames and %zu broadcasts instead of 3/1 and 2",
                 counts.standardGood, counts.extendedGood, broadcastCount());
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace vantrel::fuzz;
    prepareFuzzRoot();
    setBeforeWait(checkBetweenPasses);
    checkHooksSeeTheDaemon();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vantrel::fuzz;
    if (size == 0) return 0;
    std::vector<uint8_t> link(data + 1, data + size);
    if (data[0] & kMendChecksums) repairChecksums(link.data(), link.size(), true);
    runLoop(data[0], link.data(), link.size());
    return 0;
}
