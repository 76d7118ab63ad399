#include "fuzz/fuzz_checks.h"

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/daemon_state.h"
#include "common/pipe_table.h"
#include "testbench/memory_link/memory_link.h"

extern "C" int __real__ZN7vantrel10readPacketEv();
extern "C" int __real__ZN7vantrel18readExtendedPacketEv();

namespace vantrel::fuzz {

Counts counts;

namespace {

bool lastAccepted = false;

// What the link says the frame read must do, worked out apart from the
// daemon's framing and link/protocol.h, so that the two are checked against
// each other.
int watchRead(char lead, int (*real)()) {
    const uint8_t* bytes = memlink::unread();
    size_t available = memlink::left(), start = memlink::served();
    size_t header = lead == 'Z' ? 2 : 0, length = 6;
    if (lead == 'Z') length = available < 2 ? 0 : std::min(bytes[0] * 256u + bytes[1], 512u);
    // Payload, then checksum; a link that ends first fails after taking all it had.
    bool complete = available >= header + length + 1;
    unsigned sum = 0;
    for (size_t i = 0; complete && i < length; ++i) sum += bytes[header + i];
    bool due = complete && static_cast<uint8_t>(sum) == bytes[header + length];
    size_t frame = complete ? header + length + 1 : available;

    int result = real();
    size_t taken = memlink::served() - start;
    FUZZ_REQUIRE(result == due && taken == frame,
                 "'%c' frame read gave %d and took %zu bytes; the link says %d and %zu", lead,
                 result, taken, due, frame);
    FUZZ_REQUIRE(result == 1 ? gState.rxLength == static_cast<int32_t>(length) &&
                                   memcmp(gState.rxBuffer, bytes + header, length) == 0 &&
                                   gState.rxBuffer[length] == 0
                             : gState.rxLength == 0,
                 "'%c' frame read left rxLength %d and a buffer unlike the link", lead,
                 static_cast<int>(gState.rxLength));
    counts.frameBytes += taken;
    counts.lastFrameLead = lead;
    lastAccepted = result == 1;
    return result;
}

}  // namespace

void broken(const char* format, ...) {
    char message[1024] = "vantrel invariant broken: ";
    size_t used = strlen(message);
    va_list args;
    va_start(args, format);
    vsnprintf(message + used, sizeof message - used, format, args);
    va_end(args);
    __sanitizer_report_error_summary(message);
    abort();
}

void startRun(bool verbose, bool forwarded, const uint8_t* bytes, size_t size) {
    setenv("VANTREL_LOG", "/dev/null", 1);
    setenv("VANTREL_TIME_SCALE", "0.001", 1);
    resetDaemonState();
    counts = Counts();
    counts.lastPipe = -1;
    lastAccepted = false;
    gState.serialFd = memlink::kLinkFd;
    gState.verbose = verbose;
    gState.ignoreMotion = gState.ignoreLight = !forwarded;
    memlink::serve(bytes, size);
}

void checkReceiveBuffer() {
    int32_t length = gState.rxLength;
    FUZZ_REQUIRE(length >= 0 && length <= kMaxPayloadSize, "rxLength %d", static_cast<int>(length));
    FUZZ_REQUIRE(!lastAccepted || gState.rxBuffer[length] == 0, "no zero after the payload");
}

void checkPipeWrites(const Counts& before, const uint8_t* payload, bool forwarded) {
    int pipe = -1;
    int32_t value = 0;
    if (payload != nullptr && forwarded && payload[0] == 'M') {
        pipe = kPipeProximity;
        value = payload[1] * 256 + payload[2] + payload[3] * 256 + payload[4];
    } else if (payload != nullptr && forwarded && payload[0] == 'L') {
        pipe = kPipeLight;
        value = payload[1] * 256 + payload[2];
    }
    size_t writes = counts.pipeWrites - before.pipeWrites;
    FUZZ_REQUIRE(writes == (pipe >= 0 ? 1u : 0u) &&
                     (pipe < 0 || (counts.lastPipe == pipe && counts.lastValue == value)),
                 "%zu pipe writes, the last %d to pipe %d, where %d to pipe %d was due", writes,
                 static_cast<int>(counts.lastValue), counts.lastPipe, static_cast<int>(value),
                 pipe);
}

}  // namespace vantrel::fuzz

using namespace vantrel;
using fuzz::counts;

extern "C" int __wrap__ZN7vantrel10readPacketEv() {
    size_t leads = memlink::served() - counts.frameBytes;
    ++counts.standardReads;
    int result = fuzz::watchRead('U', __real__ZN7vantrel10readPacketEv);
    if (result == 1) {
        ++counts.standardGood;
        if (counts.acks > 0) ++counts.goodAfterAck;
        if (gState.rxBuffer[0] == 'A' && counts.acks++ == 0) counts.leadsAtAck = leads;
    }
    return result;
}

extern "C" int __wrap__ZN7vantrel18readExtendedPacketEv() {
    ++counts.extendedReads;
    int result = fuzz::watchRead('Z', __real__ZN7vantrel18readExtendedPacketEv);
    counts.extendedGood += result == 1;
    return result;
}

extern "C" void __wrap__ZN7vantrel9writePipeENS_9PipeIndexEi(int index, int32_t value) {
    ++counts.pipeWrites;
    counts.lastPipe = index;
    counts.lastValue = value;
}

// The line due for the message in rxBuffer: a version, or an NFC tap with its
// tag data in upper-case hex pairs as far as a pair and the zero still fit.
extern "C" int __wrap__ZN7vantrel15runShellCommandEPKc(const char* command) {
    const uint8_t* message = gState.rxBuffer;
    char due[512];
    if (counts.lastFrameLead == 'U' && message[0] == 'I') {
        snprintf(due, sizeof due,
                 "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version %d.%d.%d", message[1],
                 message[2], message[3]);
        FUZZ_REQUIRE(strcmp(strrchr(due, ' ') + 1, gState.boardVersion) == 0,
                     "boardVersion [%s] is not the version broadcast", gState.boardVersion);
    } else {
        FUZZ_REQUIRE(counts.lastFrameLead == 'Z' && message[0] == 7,
                     "a broadcast for no message: [%s]", command);
        int used = snprintf(due, sizeof due,
                            "am broadcast -a com.zyn.touchpanel.nfc.NFCEVENT --ei tagType %d --ei "
                            "tagDataType %d --es tagData ",
                            message[1], message[2]);
        for (int i = 0; i < message[3] && used + 2 < 512; ++i) {
            used += snprintf(due + used, 3, "%02X", message[4 + i]);
        }
    }
    FUZZ_REQUIRE(strcmp(command, due) == 0, "broadcast [%s] where [%s] was due", command, due);
    ++counts.broadcasts;
    return 0;
}
