#include "link/framing.h"

#include "common/daemon_state.h"
#include "common/log.h"
#include "link/serial_port.h"

namespace vantrel {

namespace {

// One byte from the port. End of file counts as a failed read: a byte that
// never arrived must not be used.
bool readFrameByte(uint8_t* byte) {
    return readAll(gState.serialFd, byte, 1) == 1;
}

// Reads `count` payload bytes into rxBuffer, adding them to `sum`.
bool readPayload(size_t count, uint8_t* sum) {
    for (size_t i = 0; i < count; ++i) {
        if (!readFrameByte(&gState.rxBuffer[i])) return false;
        *sum = addToChecksum(*sum, gState.rxBuffer[i]);
    }
    return true;
}

}  // namespace

int readPacket() {
    gState.rxLength = 0;
    uint8_t sum = 0;
    uint8_t received = 0;
    if (!readPayload(kStandardPayloadSize, &sum) || !readFrameByte(&received)) return 0;

    const uint8_t* b = gState.rxBuffer;
    logVerbose("readPacket %02X %02X %02X %02X %02X %02X %02X %02X\n", b[0], b[1], b[2], b[3], b[4],
               b[5], b[6], b[7]);
    if (received != sum) {
        logError("readPacket: checksum failure rec[0x%02X] cal[0x%02X]\n", received, sum);
        return 0;
    }
    gState.rxLength = kStandardPayloadSize;
    gState.rxBuffer[kStandardPayloadSize] = 0;
    return 1;
}

int readExtendedPacket() {
    gState.rxLength = 0;
    uint8_t high = 0;
    uint8_t low = 0;
    if (!readFrameByte(&high) || !readFrameByte(&low)) return 0;
    size_t length = static_cast<size_t>(high * 256 + low);
    if (length > static_cast<size_t>(kMaxPayloadSize)) length = kMaxPayloadSize;

    uint8_t sum = 0;
    uint8_t received = 0;
    if (!readPayload(length, &sum) || !readFrameByte(&received)) return 0;
    if (received != sum) {
        const uint8_t* b = gState.rxBuffer;
        logError("readExtendedPacket %02X %02X %02X %02X %02X %02X %02X %02X", b[0], b[1], b[2],
                 b[3], b[4], b[5], b[6], b[7]);
        logError("readExtendedPacket: checksum failure: rec[0x%02X] cal[0x%02X]", received, sum);
        return 0;
    }
    gState.rxLength = static_cast<int32_t>(length);
    gState.rxBuffer[length] = 0;
    return 1;
}

int sendPacket(const uint8_t* command) {
    int fd = gState.serialFd;
    if (fd < 0) return 0;
    uint8_t frame[kStandardFrameSize];
    frame[0] = kLeadStandard;
    for (size_t i = 0; i < kStandardPayloadSize; ++i) frame[1 + i] = command[i];
    frame[kStandardFrameSize - 1] = payloadChecksum(command, kStandardPayloadSize);
    logVerbose("sendPacket %02X %02X %02X %02X %02X %02X %02X %02X\n", frame[0], frame[1], frame[2],
               frame[3], frame[4], frame[5], frame[6], frame[7]);
    return writeAll(fd, frame, kStandardFrameSize) >= 0 ? 1 : 0;
}

}  // namespace vantrel
