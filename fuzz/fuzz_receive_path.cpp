// Arbitrary board output through the daemon's receive loop, exactly as
// readData() runs it. Input byte 0 chooses the run (bit 0: both streams
// forwarded, bit 1: verbose); the rest is what the board sends, and the loop
// ends when it is used up. Before each wait the pass that has just ended is
// checked: one lead byte and the frame it leads taken off the link, the reader
// its lead byte calls for, the pipe value and the broadcast due for its
// message and nothing else.
#include <cstddef>
#include <cstdint>

#include "common/daemon_state.h"
#include "fuzz/fuzz_checks.h"
#include "link/receive_loop.h"
#include "testbench/memory_link/memory_link.h"

namespace vantrel::fuzz {
namespace {

bool forwarding = false;
int passLead = -1;  // lead byte of the pass under way, -1 when it reads none
Counts passStart;
size_t passServed = 0;

void checkBetweenPasses() {
    if (passLead >= 0) {
        size_t standard = counts.standardReads - passStart.standardReads;
        size_t extended = counts.extendedReads - passStart.extendedReads;
        FUZZ_REQUIRE(standard == (passLead == 'U') && extended == (passLead == 'Z'),
                     "lead byte 0x%02X led to %zu standard and %zu extended reads", passLead,
                     standard, extended);
        size_t frame = counts.frameBytes - passStart.frameBytes;
        FUZZ_REQUIRE(memlink::served() - passServed == 1 + frame,
                     "a pass took %zu bytes, its frame %zu", memlink::served() - passServed, frame);
        bool accepted = counts.standardGood + counts.extendedGood >
                        passStart.standardGood + passStart.extendedGood;
        const uint8_t* message = gState.rxBuffer;
        checkPipeWrites(passStart, accepted && passLead == 'U' ? message : nullptr, forwarding);
        bool due = accepted && message[0] == (passLead == 'U' ? 'I' : 7);
        FUZZ_REQUIRE(counts.broadcasts - passStart.broadcasts == (due ? 1u : 0u),
                     "%zu broadcasts for a frame led by 0x%02X",
                     counts.broadcasts - passStart.broadcasts, passLead);
    }
    checkReceiveBuffer();
    FUZZ_REQUIRE(gState.running && gState.serialFd == memlink::kLinkFd, "running %d, serialFd %d",
                 gState.running, static_cast<int>(gState.serialFd));
    passLead = memlink::left() > 0 ? memlink::unread()[0] : -1;
    passStart = counts;
    passServed = memlink::served();
}

void runLoop(uint8_t mode, const uint8_t* bytes, size_t size) {
    passLead = -1;
    forwarding = (mode & 1) != 0;
    startRun((mode & 2) != 0, forwarding, bytes, size);
    int result = readData();
    FUZZ_REQUIRE(result == 1 && memlink::left() == 0, "readData gave %d with %zu bytes unread",
                 result, memlink::left());
    checkReceiveBuffer();
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace vantrel::fuzz;
    vantrel::memlink::setBeforeWait(checkBetweenPasses);
    // Motion, light, version 1.6.25 and an NFC tap: the hooks must see them all.
    static const uint8_t kFrames[] = {
        'U', 'M', 1, 0,  0, 2, 0,    0x50, 'U', 'L', 0, 5, 0, 0, 0,    0x51, 'U',
        'I', 1,   6, 25, 0, 0, 0x69, 'Z',  0,   6,   7, 4, 1, 2, 0xA1, 0x5C, 0x0B,
    };
    runLoop(1, kFrames, sizeof kFrames);
    FUZZ_REQUIRE(counts.standardGood == 3 && counts.extendedGood == 1 && counts.broadcasts == 2,
                 "the hooks saw %zu/%zu frames and %zu broadcasts instead of 3/1 and 2",
                 counts.standardGood, counts.extendedGood, counts.broadcasts);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    vantrel::fuzz::runLoop(data[0], data + 1, size - 1);
    return 0;
}
