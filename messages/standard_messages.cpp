// Standard messages: acknowledgement, version, light and motion.
#include <cstdio>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "common/pipe_table.h"
#include "common/signals.h"
#include "link/protocol.h"
#include "messages/sensor_pipes.h"
#include "messages/tavrix_protocol_parser.h"

namespace vantrel {

namespace {

int bigEndian16(const uint8_t* bytes) {
    return bytes[0] * 256 + bytes[1];
}

}  // namespace

int TavrixProtocolParser::parseStandardData(const uint8_t* payload) {
    switch (payload[0]) {
        case kLetterAck:
            return 1;  // the board's acknowledgement of a command
        case kLetterVersion:
            return processVersion(payload + kFieldsAt);
        case kLetterLight:
            return gState.ignoreLight ? 1 : processLight(payload + kFieldsAt);
        case kLetterMotion:
            return gState.ignoreMotion ? 1 : processMotion(payload + kFieldsAt);
        default:
            return 0;  // 'B' to 'H', 'J', 'K' and everything outside 'A'..'M'
    }
}

int TavrixProtocolParser::processLight(const uint8_t* fields) {
    int visible = bigEndian16(fields + kLightVisible);
    int infrared = bigEndian16(fields + kLightInfrared);
    logVerbose("Light Message vis=%d, ir=%d\n", visible, infrared);
    writePipe(kPipeLight, visible);
    return 1;
}

int TavrixProtocolParser::processMotion(const uint8_t* fields) {
    int ps1 = bigEndian16(fields + kMotionPs1);
    int ps2 = bigEndian16(fields + kMotionPs2);
    int psFinal = ps1 + ps2;  // 0 to 131070: not clamped to 16 bits
    logVerbose("Motion Message ps1=%d, ps2=%d, psFinal=%d\n", ps1, ps2, psFinal);
    writePipe(kPipeProximity, psFinal);
    return 1;
}

int TavrixProtocolParser::processVersion(const uint8_t* fields) {
    memset(gState.boardVersion, 0, sizeof gState.boardVersion);
    snprintf(gState.boardVersion, sizeof gState.boardVersion, "%d.%d.%d", fields[kVersionMajor],
             fields[kVersionMinor], fields[kVersionPatch]);
    logInfo("Sensor board version: %s", gState.boardVersion);
    gState.versionReceived = true;
    logDebug("sensor_comm_error=%d", fields[kVersionCommError]);

    char command[kCommandLineSize];
    memset(command, 0, sizeof command);
    snprintf(command, sizeof command,
             "am broadcast -a com.zyn.vantrel.UPDATE_VERSION --es version %s", gState.boardVersion);
    runShellCommand(command);
    logInfo("UPDATE_VERSION broadcase: %s", command);
    return 1;
}

}  // namespace vantrel
