#include "link/receive_loop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "link/framing.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "messages/tavrix_protocol_parser.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

constexpr long kLeadByteWaitSeconds = 10;
constexpr unsigned kFailedWaitPauseSeconds = 10;

void handleStandardFrame() {
    if (!readPacket()) return;  // the framing has logged a checksum failure
    if (!TavrixProtocolParser::parseStandardData(gState.rxBuffer)) {
        logError("readData()::failed to parseStandardData()\n");
    }
}

void handleExtendedFrame() {
    if (!readExtendedPacket()) return;
    if (!TavrixProtocolParser::parseExtendedData(gState.rxBuffer, gState.rxLength)) {
        logError("readData()::failed to parseExtendedData()\n");
    }
}

// A port that the wait reports readable and that then yields no byte has hung
// up (a pseudo-terminal's master closed, a USB adapter pulled at a desk); it
// stays readable, so without a pause the loop would spin on it. A read that
// SIGINT cut short is no hang-up: the loop ends at its next test.
void handleHungUpPort() {
    if (!gState.running) return;
    logError("readData()::serial port hung up\n");
    pauseSeconds(kFailedWaitPauseSeconds);
}

// Reads the lead byte of the next frame and the frame behind it. A byte that
// leads no frame is dropped: the next pass looks at the byte after it.
void handleReadablePort(int fd) {
    uint8_t lead = 0;
    if (readAll(fd, &lead, 1) <= 0) {
        handleHungUpPort();
        return;
    }
    if (lead == kLeadStandard) {
        handleStandardFrame();
    } else if (lead == kLeadExtended) {
        handleExtendedFrame();
    } else {
        fprintf(stderr, "Unknown lead in byte [0x%02X]\n", lead);
    }
}

}  // namespace

int readData() {
    while (gState.running) {
        int fd = gState.serialFd;
        if (fd < 0) break;  // closed by the SIGINT handler: never select on it
        int ready = waitReadable(fd, kLeadByteWaitSeconds, 0);
        if (ready > 0) {
            handleReadablePort(fd);
        } else if (ready == 0) {
            logError("readData()::select timedout!\n");
        } else {
            logError("readData()::select failed : %d (%s)\n", ready, strerror(errno));
            pauseSeconds(kFailedWaitPauseSeconds);
        }
    }
    return 1;
}

}  // namespace vantrel
