#include <climits>
#include <cstdio>

#include "common/log.h"
#include "common/paths.h"
#include "firmware/board_control.h"
#include "platform/platform.h"

namespace vantrel {

namespace {
constexpr unsigned kResetHoldSeconds = 3;
constexpr unsigned kResetRecoverySeconds = 15;

void driveLine(FILE* line, int value) {
    fprintf(line, "%d", value);
    fflush(line);  // the line changes now, not when the stream is closed
}
}  // namespace

void resetSensorBoard() {
    char buffer[PATH_MAX];
    const char* path = resolvePath(kPathResetLine, buffer, sizeof buffer);
    FILE* line = fopen(path, "w");
    if (line == nullptr) {
        logError("resetSensorBoard: can not open file %s\n", path);
        return;
    }
    driveLine(line, 1);
    pauseSeconds(kResetHoldSeconds);
    driveLine(line, 0);
    fclose(line);
    pauseSeconds(kResetRecoverySeconds);
}

}  // namespace vantrel
