#include "link/command_exchange.h"

#include "common/daemon_state.h"
#include "common/log.h"
#include "link/framing.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "messages/tavrix_protocol_parser.h"

namespace vantrel {

namespace {

constexpr int kAckLeadBytes = 50;  // lead bytes examined while waiting for the ACK
constexpr int kAckWaits = 4;       // waits for one lead byte, each 0.5 s
constexpr long kAckWaitMicros = 500000;
constexpr int kReplyLeadBytes = 50;  // lead bytes examined while waiting for the reply

bool waitForLeadByte(uint8_t* command) {
    for (int wait = 0; wait < kAckWaits; ++wait) {
        if (readByteTimeout(command, 0, kAckWaitMicros)) return true;
    }
    return false;
}

// A lead byte that starts no standard packet. Only the 'Z' is consumed: the
// rest of an extended packet is met one byte at a time as further lead bytes.
void reportSkippedLeadByte(uint8_t lead) {
    if (lead == kLeadExtended) {
        logDebug("readExtendedPacket unsupported \n\n\n");
    } else {
        logDebug("Unknown packet received: start byte is [0x%02X]\n", lead);
    }
}

// 1 when the ACK came, 0 after the time-out or 50 lead bytes without it.
int waitForAck(uint8_t* command) {
    logVerbose("Waiting for ACK, ignoring all other packets\n");
    for (int lead = 0; lead < kAckLeadBytes; ++lead) {
        if (!waitForLeadByte(command)) {
            logVerbose("timeout waiting for command reply\n");
            return 0;
        }
        if (command[0] != kLeadStandard) {
            reportSkippedLeadByte(command[0]);
        } else if (readPacket() && gState.rxBuffer[0] == kLetterAck) {
            return 1;
        }
    }
    logVerbose("sendCommand() - ERROR: didn't receive ack!\n");
    return 0;
}

// Takes the first good standard packet as the reply and dispatches it.
int waitForReply(uint8_t* command) {
    logVerbose("Waiting for CMD respone, ignoring all other packets\n");
    for (int lead = 0; lead < kReplyLeadBytes; ++lead) {
        if (readAll(gState.serialFd, command, 1) <= 0) {
            logDebug("Error reading microcontroller serial stream\n");
            return 0;
        }
        if (command[0] != kLeadStandard) {
            reportSkippedLeadByte(command[0]);
        } else if (readPacket()) {
            if (!TavrixProtocolParser::parseStandardData(gState.rxBuffer)) {
                logError("failed to parseStandardData()\n");
            }
            return 1;
        }
    }
    return 1;
}

}  // namespace

int sendCommand(uint8_t* command, bool waitReply) {
    if (!sendPacket(command)) {
        logError("sendCommand: failed to send packet\n");
        return 0;
    }
    if (!waitForAck(command)) return 0;
    if (!waitReply) return 1;
    return waitForReply(command);
}

}  // namespace vantrel
