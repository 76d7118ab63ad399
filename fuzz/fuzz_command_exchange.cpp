// Arbitrary board answers to one command exchange: sendCommand() sends its
// packet, then reads the ACK phase and the reply phase from the input.
//
// Input: byte 0 chooses the run (bit 0: verbose, bit 1: no reply wanted,
// bit 2: both streams forwarded, so a reading taken as the reply reaches its
// pipe, bit 3: checksums mended, see checksum_repair.h); bytes 1 to 6 are the
// command; the rest is what the board answers.
// When the answers are used up the link is quiet (the ACK waits time out at
// once) and reads give end of file, so every exchange ends.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/daemon_state.h"
#include "fuzz/broadcast_oracle.h"
#include "fuzz/checksum_repair.h"
#include "fuzz/fake_serial.h"
#include "fuzz/frame_oracle.h"
#include "fuzz/fuzz_root.h"
#include "fuzz/invariant.h"
#include "link/command_exchange.h"

namespace vantrel::fuzz {
namespace {

constexpr uint8_t kVerbose = 0x01;
constexpr uint8_t kNoReply = 0x02;
constexpr uint8_t kForwardStreams = 0x04;
constexpr uint8_t kMendChecksums = 0x08;
constexpr size_t kCommandSize = 6;
constexpr size_t kHeaderSize = 1 + kCommandSize;
constexpr size_t kFrameSize = 1 + kCommandSize + 1;
constexpr size_t kLeadBytesPerPhase = 50;  // lead bytes each phase examines at most

void checkBetweenLeadBytes() {
    checkReceiveBuffer();
}

// The one packet on the wire: 'U', the six command bytes, their sum.
void checkSentPacket(const uint8_t* original) {
    FUZZ_REQUIRE(writtenCount() == kFrameSize, "%zu bytes sent instead of one packet",
                 writtenCount());
    const uint8_t* sent = writtenBytes();
    unsigned sum = 0;
    for (size_t i = 0; i < kCommandSize; ++i) sum += original[i];
    FUZZ_REQUIRE(sent[0] == 'U' && memcmp(sent + 1, original, kCommandSize) == 0 &&
                     sent[kFrameSize - 1] == static_cast<uint8_t>(sum),
                 "the packet sent is not the command framed");
}

// Bytes 1 to 5 untouched; byte 0 the last lead byte read (or the letter when
// the link stayed silent).
void checkCommandBuffer(const uint8_t* command, const uint8_t* original) {
    FUZZ_REQUIRE(memcmp(command + 1, original + 1, kCommandSize - 1) == 0,
                 "command bytes 1..5 changed by the exchange");
    int lastLead = lastByteReadIntoWatched();
    int expected = lastLead >= 0 ? lastLead : original[0];
    FUZZ_REQUIRE(command[0] == expected, "command[0] is 0x%02X, the last lead byte 0x%02X",
                 command[0], expected);
}

// The outcomes of an exchange: a reply phase that ends without a reply has
// examined its 50 lead bytes, a failure has run out of link or of lead bytes.
void checkOutcome(int result, bool waitReply) {
    FUZZ_REQUIRE(result == 0 || result == 1, "sendCommand returned %d", result);
    const FrameCounts& counts = frameCounts();
    FUZZ_REQUIRE(counts.extendedReads == 0, "an extended packet was read during an exchange");
    size_t leads = readsIntoWatched();
    bool acknowledged = counts.acknowledgements > 0;
    size_t afterAck = acknowledged ? leads - counts.leadReadsAtAck : 0;
    FUZZ_REQUIRE((acknowledged ? counts.leadReadsAtAck : leads) <= kLeadBytesPerPhase &&
                     afterAck <= kLeadBytesPerPhase,
                 "%zu lead bytes read, %zu after the ACK", leads, afterAck);
    // The first ACK ends the ACK phase, and the reply phase takes one packet.
    size_t allowed = waitReply ? 1 : 0;
    FUZZ_REQUIRE(counts.goodAfterAck <= allowed, "%zu packets read after the ACK, at most %zu",
                 counts.goodAfterAck, allowed);
    if (result == 1) {
        FUZZ_REQUIRE(acknowledged, "success without an ACK");
        FUZZ_REQUIRE(!waitReply || counts.goodAfterAck == 1 || afterAck == kLeadBytesPerPhase,
                     "success without a reply after %zu lead bytes", afterAck);
        FUZZ_REQUIRE(waitReply || afterAck == 0, "%zu lead bytes read after the ACK", afterAck);
    } else {
        bool exhausted = bytesLeft() == 0;
        FUZZ_REQUIRE(acknowledged ? waitReply && exhausted && counts.goodAfterAck == 0
                                  : exhausted || leads == kLeadBytesPerPhase,
                     "failure with %zu bytes left after %zu lead bytes", bytesLeft(), leads);
    }
}

// The reply is dispatched like any message: its pipe value or broadcast.
void checkReplyEffects(int result, bool forward) {
    bool replied = result == 1 && frameCounts().goodAfterAck == 1;
    checkPipes(replied ? pipeValuesOf(gState.rxBuffer, forward) : PipeValues{});
    size_t broadcasts = replied && gState.rxBuffer[0] == 'I' ? 1 : 0;
    FUZZ_REQUIRE(broadcastCount() == broadcasts, "%zu broadcasts, %zu due", broadcastCount(),
                 broadcasts);
}

void runExchange(uint8_t mode, const uint8_t* original, const uint8_t* answers, size_t size) {
    resetDaemonState();
    resetFrameCounts();
    resetBroadcastCount();
    gState.serialFd = kFakeSerialFd;
    gState.verbose = (mode & kVerbose) != 0;
    bool forward = (mode & kForwardStreams) != 0;
    gState.ignoreMotion = !forward;
    gState.ignoreLight = !forward;
    bool waitReply = (mode & kNoReply) == 0;

    uint8_t command[kCommandSize];
    memcpy(command, original, kCommandSize);
    serveBytes(answers, size);
    watchReadsInto(command);
    int result = sendCommand(command, waitReply);
    watchReadsInto(nullptr);

    checkSentPacket(original);
    checkCommandBuffer(command, original);
    checkOutcome(result, waitReply);
    checkBetweenLeadBytes();
    checkReplyEffects(result, forward);
}

// An identification answered with an ACK and the version: the hooks must see
// both packets and the broadcast, or they have lost their hold on the
// daemon's calls.
void checkHooksSeeTheDaemon() {
    static const uint8_t kIdentify[kCommandSize] = {'i', 0, 0, 0, 0, 0};
    static const uint8_t kAnswers[] = {
        'U', 'A', 0,    0,    0,    0,    0,    'A',   // ACK
        'U', 'I', 0x01, 0x06, 0x19, 0x00, 0x00, 0x69,  // version 1.6.25
    };
    runExchange(0, kIdentify, kAnswers, sizeof kAnswers);
    FUZZ_REQUIRE(frameCounts().standardGood == 2 && broadcastCount() == 1,
                 "the hooks saw %zu packets and %zu broadcasts instead of 2 and 1",
                 frameCounts().standardGood, broadcastCount());
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace vantrel::fuzz;
    prepareFuzzRoot();
    setBeforeWait(checkBetweenLeadBytes);
    checkHooksSeeTheDaemon();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vantrel::fuzz;
    if (size < kHeaderSize) return 0;
    std::vector<uint8_t> answers(data + kHeaderSize, data + size);
    if (data[0] & kMendChecksums) repairChecksums(answers.data(), answers.size(), false);
    runExchange(data[0], data + 1, answers.data(), answers.size());
    return 0;
}
