// Runs the bootstrap-loader tool as a child and reports its exit status.
#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "common/log.h"
#include "common/paths.h"
#include "common/signals.h"
#include "firmware/board_control.h"
#include "link/serial_port.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

struct ToolTexts {
    const char* forkFailed;
    const char* execFailed;
    const char* waiting;
    const char* waitFailed;
    const char* exitStatus;  // printf format with the exit status
};

constexpr ToolTexts kCommCheckTexts = {"Error -- WTF bslCommCheck!", "bslCommCheck exec failed!",
                                       "Waiting for bslCommCheck..", "bslCommCheck waitpid failed",
                                       "bslCommCheck ret = %d"};

constexpr ToolTexts kUpgradeTexts = {"Error -- WTF bslUpgrade!", "bslUpgrade exec failed!",
                                     "Waiting for bslUpgrade..", "bslUpgrade waitpid failed",
                                     "bspUpgrade ret = %d"};

// Starts the tool with `argv` (argv[0] is the tool's name, searched for along
// PATH), waits for it, and returns its exit status, or 1 for any other end.
int runTool(char* const argv[], const ToolTexts& texts) {
    pid_t child = fork();
    if (child < 0) {
        logError("%s", texts.forkFailed);
        return 1;
    }
    if (child == 0) {
        restoreStartMask();
        execvp(kLoaderTool, argv);
        logError("%s", texts.execFailed);
        _exit(1);
    }
    logInfo("%s", texts.waiting);
    int status = 0;
    if (waitpid(child, &status, 0) < 0) {
        logError("%s", texts.waitFailed);
        return 1;
    }
    if (!WIFEXITED(status)) return 1;  // ended by a signal
    logInfo(texts.exitStatus, WEXITSTATUS(status));
    return WEXITSTATUS(status);
}

}  // namespace

int bslCommCheck() {
    const char* argv[] = {kLoaderTool, "--device", serialDevice(), "--checkComm", nullptr};
    return runTool(const_cast<char* const*>(argv), kCommCheckTexts);
}

int bslUpgrade() {
    char image[PATH_MAX];
    const char* argv[] = {kLoaderTool,    "--device",
                          serialDevice(), "--bsl",
                          "--eraseall",   "--reset",
                          "--flash",      resolvePath(kPathFirmwareImage, image, sizeof image),
                          nullptr};
    return runTool(const_cast<char* const*>(argv), kUpgradeTexts);
}

}  // namespace vantrel
