#include "firmware/board_identification.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/daemon_state.h"
#include "common/log.h"
#include "common/paths.h"
#include "firmware/board_control.h"
#include "firmware/image_marker.h"
#include "link/command_exchange.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

constexpr unsigned kRestartPauseSeconds = 5;

// Up to ten identification exchanges; a failed exchange is followed by a
// board reset, an answer without a version message by the next try at once.
bool identifyBoard() {
    for (int attempt = 1; attempt <= kIdentifyAttempts; ++attempt) {
        // The exchange writes the lead bytes it reads into byte 0: rebuild it.
        uint8_t command[kStandardPayloadSize] = {kCommandIdentify, 0, 0, 0, 0, 0};
        if (!sendCommand(command, true)) {
            logError("id query command attempt %d failed\n", attempt);
            resetSensorBoard();
            continue;
        }
        if (gState.versionReceived) return true;
    }
    return false;
}

bool boardHasRequiredVersion() {
    char required[kVersionTextSize];
    memset(required, 0, sizeof required);
    snprintf(required, sizeof required, "%d.%d.%d", kRequiredMajor, kRequiredMinor, kRequiredPatch);
    if (strcmp(gState.boardVersion, required) == 0) {
        logInfo("Sensor version and Required version are the same. Skipping upgrade.");
        return true;
    }
    logInfo("Sensor version [%s] != Required version [%s]. Do upgrade.", gState.boardVersion,
            required);
    return false;
}

// The firmware does not answer: is the bootstrap loader there instead?
bool bootstrapLoaderAnswers() {
    logInfo("Can't communicate with sensor fw, so trying BSL..");
    closeSerial();  // the tool needs the device to itself
    if (bslCommCheck() != 0) {
        logInfo("Didn't find BSL, skipping upgrade.");
        return false;
    }
    logInfo("Found BSL, doing upgrade.");
    return true;
}

// Flashes the image; ends the process when that worked. Returns 0 otherwise.
int upgradeBoard() {
    closeSerial();
    if (bslUpgrade() == 0) {
        logInfo("Upgrade Successfull, restart daemon.");
        pauseSeconds(kRestartPauseSeconds);
        exit(0);
    }
    logError("Upgrade Failed!");
    reopenSerial();
    return 0;
}

}  // namespace

int identifyAndUpgradeBoard() {
    logVerbose("Query ID\n");
    bool identified = identifyBoard();
    platformPropertySet(kVersionProperty, gState.boardVersion);

    char image[PATH_MAX];
    if (isDevelopmentImage(resolvePath(kPathFirmwareImage, image, sizeof image))) {
        logInfo("This is a development file. No upgrade.");
        return identified ? 1 : 0;
    }
    if (identified) {
        if (boardHasRequiredVersion()) return 1;
    } else if (!bootstrapLoaderAnswers()) {
        return 0;
    }
    return upgradeBoard();
}

}  // namespace vantrel
