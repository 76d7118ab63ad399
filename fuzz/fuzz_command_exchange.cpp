// Arbitrary board answers to one command exchange: sendCommand() sends its
// packet, then reads the ACK phase and the reply phase from the input. Input
// byte 0 chooses the run (bit 0: verbose, bit 1: no reply wanted, bit 2: both
// streams forwarded, so a reading taken as the reply reaches its pipe); bytes
// 1 to 6 are the command; the rest is what the board answers. When the
// answers are used up the link is quiet and reads give end of file, so every
// exchange ends.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/daemon_state.h"
#include "fuzz/fuzz_checks.h"
#include "link/command_exchange.h"
#include "testbench/memory_link/memory_link.h"

namespace vantrel::fuzz {
namespace {

constexpr size_t kLeadBytes = 50;  // each phase examines at most this many

int runExchange(uint8_t mode, const uint8_t* original, const uint8_t* answers, size_t size) {
    bool waitReply = (mode & 2) == 0, forward = (mode & 4) != 0;
    startRun((mode & 1) != 0, forward, answers, size);
    uint8_t command[6];
    memcpy(command, original, sizeof command);
    int result = sendCommand(command, waitReply);

    // One packet on the wire: 'U', the command, its sum.
    unsigned sum = 0;
    for (int i = 0; i < 6; ++i) sum += original[i];
    const uint8_t* sent = memlink::written();
    FUZZ_REQUIRE(memlink::writtenCount() == 8 && sent[0] == 'U' &&
                     memcmp(sent + 1, original, 6) == 0 && sent[7] == static_cast<uint8_t>(sum),
                 "%zu bytes sent, not the command framed", memlink::writtenCount());
    FUZZ_REQUIRE(memcmp(command + 1, original + 1, 5) == 0, "command bytes 1 to 5 changed");

    // The outcome: the phases' limits, and success only with an ACK and a
    // reply (or a reply phase that used up its lead bytes).
    FUZZ_REQUIRE(result == 0 || result == 1, "sendCommand returned %d", result);
    FUZZ_REQUIRE(counts.extendedReads == 0, "an extended packet was read during an exchange");
    size_t leads = memlink::served() - counts.frameBytes;
    bool acked = counts.acks > 0;
    size_t afterAck = acked ? leads - counts.leadsAtAck : 0;
    FUZZ_REQUIRE((acked ? counts.leadsAtAck : leads) <= kLeadBytes && afterAck <= kLeadBytes &&
                     counts.goodAfterAck <= (waitReply ? 1u : 0u),
                 "%zu lead bytes, %zu after the ACK, %zu packets after it", leads, afterAck,
                 counts.goodAfterAck);
    if (result == 1) {
        FUZZ_REQUIRE(acked && (waitReply ? counts.goodAfterAck == 1 || afterAck == kLeadBytes
                                         : afterAck == 0),
                     "success after %zu lead bytes, %zu after the ACK", leads, afterAck);
    } else {
        FUZZ_REQUIRE(acked ? waitReply && memlink::left() == 0 && counts.goodAfterAck == 0
                           : memlink::left() == 0 || leads == kLeadBytes,
                     "failure with %zu bytes left after %zu lead bytes", memlink::left(), leads);
    }
    // The reply is dispatched like any message: its pipe value or broadcast.
    bool replied = result == 1 && counts.goodAfterAck == 1;
    checkPipeWrites(Counts(), replied ? gState.rxBuffer : nullptr, forward);
    FUZZ_REQUIRE(counts.broadcasts == (replied && gState.rxBuffer[0] == 'I' ? 1u : 0u),
                 "%zu broadcasts", counts.broadcasts);
    checkReceiveBuffer();
    return result;
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace vantrel::fuzz;
    // An identification answered with an ACK and the version: the hooks must
    // see both packets and the broadcast.
    static const uint8_t kIdentify[6] = {'i', 0, 0, 0, 0, 0};
    static const uint8_t kAnswers[] = {'U', 'A', 0, 0, 0,  0, 0, 'A',
                                       'U', 'I', 1, 6, 25, 0, 0, 0x69};
    runExchange(0, kIdentify, kAnswers, sizeof kAnswers);
    FUZZ_REQUIRE(counts.standardGood == 2 && counts.broadcasts == 1,
                 "the hooks saw %zu packets and %zu broadcasts instead of 2 and 1",
                 counts.standardGood, counts.broadcasts);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    vantrel::fuzz::runExchange(data[0], data + 1, data + 7, size - 7);
    return 0;
}
