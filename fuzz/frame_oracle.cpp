#include "fuzz/frame_oracle.h"

#include <cstdint>
#include <cstring>

#include "common/daemon_state.h"
#include "fuzz/fake_serial.h"
#include "fuzz/invariant.h"

// The daemon's frame readers under their linker names (vantrel::readPacket()
// and vantrel::readExtendedPacket()).
extern "C" int __real__ZN7vantrel10readPacketEv();
extern "C" int __real__ZN7vantrel18readExtendedPacketEv();

namespace vantrel::fuzz {

namespace {

constexpr size_t kStandardPayload = 6;
constexpr size_t kLengthBytes = 2;

// What a frame reader must make of the bytes after the lead byte.
struct Expected {
    bool accepted = false;
    size_t consumed = 0;  // bytes the reader takes off the link
    const uint8_t* payload = nullptr;
    size_t length = 0;  // payload bytes, when accepted
};

FrameCounts counts;
bool lastReadAccepted = false;

uint8_t byteSum(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

// Payload, then checksum; a link that ends first fails after taking all it had.
Expected expectPayload(const uint8_t* bytes, size_t available, size_t header, size_t length) {
    Expected expected;
    size_t frame = header + length + 1;
    if (available < frame) {
        expected.consumed = available;
        return expected;
    }
    expected.consumed = frame;
    expected.payload = bytes + header;
    expected.length = length;
    expected.accepted = byteSum(bytes + header, length) == bytes[header + length];
    return expected;
}

Expected expectStandard(const uint8_t* bytes, size_t available) {
    return expectPayload(bytes, available, 0, kStandardPayload);
}

Expected expectExtended(const uint8_t* bytes, size_t available) {
    if (available < kLengthBytes) {
        Expected expected;
        expected.consumed = available;
        return expected;
    }
    size_t length = bytes[0] * 256u + bytes[1];
    if (length > static_cast<size_t>(kMaxPayloadSize)) length = kMaxPayloadSize;
    return expectPayload(bytes, available, kLengthBytes, length);
}

void compare(const char* reader, const Expected& expected, int result, size_t consumed) {
    FUZZ_REQUIRE(result == 0 || result == 1, "%s returned %d", reader, result);
    FUZZ_REQUIRE(result == (expected.accepted ? 1 : 0), "%s returned %d, the frame says %d", reader,
                 result, expected.accepted ? 1 : 0);
    FUZZ_REQUIRE(consumed == expected.consumed, "%s took %zu bytes off the link, the frame has %zu",
                 reader, consumed, expected.consumed);
    if (!expected.accepted) {
        FUZZ_REQUIRE(gState.rxLength == 0, "%s failed but left rxLength %d", reader,
                     static_cast<int>(gState.rxLength));
        return;
    }
    FUZZ_REQUIRE(gState.rxLength == static_cast<int32_t>(expected.length),
                 "%s: rxLength %d for a payload of %zu bytes", reader,
                 static_cast<int>(gState.rxLength), expected.length);
    FUZZ_REQUIRE(memcmp(gState.rxBuffer, expected.payload, expected.length) == 0,
                 "%s: rxBuffer differs from the payload on the link", reader);
    FUZZ_REQUIRE(gState.rxBuffer[expected.length] == 0, "%s: no zero after the payload", reader);
}

int watchRead(const char* reader, Expected (*expect)(const uint8_t*, size_t), int (*real)()) {
    size_t start = bytesServed();
    Expected expected = expect(unreadBytes(), bytesLeft());
    int result = real();
    compare(reader, expected, result, bytesServed() - start);
    counts.bytesInFrames += expected.consumed;
    lastReadAccepted = result == 1;
    return result;
}

}  // namespace

void resetFrameCounts() {
    counts = FrameCounts();
    lastReadAccepted = false;
}

const FrameCounts& frameCounts() {
    return counts;
}

void checkReceiveBuffer() {
    int32_t length = gState.rxLength;
    FUZZ_REQUIRE(length >= 0 && length <= kMaxPayloadSize, "rxLength %d out of 0..512",
                 static_cast<int>(length));
    if (lastReadAccepted) {
        FUZZ_REQUIRE(gState.rxBuffer[length] == 0, "rxBuffer[%d] is 0x%02X after an accepted frame",
                     static_cast<int>(length), gState.rxBuffer[length]);
    }
}

}  // namespace vantrel::fuzz

using namespace vantrel::fuzz;

extern "C" int __wrap__ZN7vantrel10readPacketEv() {
    ++counts.standardReads;
    int result = watchRead("readPacket", expectStandard, __real__ZN7vantrel10readPacketEv);
    if (result == 1) {
        ++counts.standardGood;
        if (counts.acknowledgements > 0) ++counts.goodAfterAck;
        if (vantrel::gState.rxBuffer[0] == 'A') {
            if (counts.acknowledgements == 0) counts.leadReadsAtAck = readsIntoWatched();
            ++counts.acknowledgements;
        }
    }
    return result;
}

extern "C" int __wrap__ZN7vantrel18readExtendedPacketEv() {
    ++counts.extendedReads;
    int result =
        watchRead("readExtendedPacket", expectExtended, __real__ZN7vantrel18readExtendedPacketEv);
    if (result == 1) ++counts.extendedGood;
    return result;
}
