#include "common/daemon_state.h"

#include <cstring>

namespace vantrel {

DaemonState gState;

void resetDaemonState() {
    gState.verbose = false;
    gState.ignoreLight = true;
    gState.ignoreMotion = true;
    gState.running = true;
    gState.serialFd = -1;
    memset(gState.rxBuffer, 0, sizeof gState.rxBuffer);
    gState.rxLength = 0;
    memset(gState.boardVersion, 0, sizeof gState.boardVersion);
    gState.versionReceived = false;
}

}  // namespace vantrel
