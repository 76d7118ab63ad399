#include "common/signals.h"

#include <signal.h>
#include <time.h>

#include <cstdlib>

namespace vantrel {

namespace {
sigset_t startMask;
bool startMaskSaved = false;

sigset_t sigpipeOnly() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}
}  // namespace

void blockSigpipe() {
    sigset_t set = sigpipeOnly();
    sigset_t previous;
    if (sigprocmask(SIG_BLOCK, &set, &previous) != 0) return;
    if (!startMaskSaved) {
        startMask = previous;
        startMaskSaved = true;
    }
}

void consumePendingSigpipe() {
    sigset_t set = sigpipeOnly();
    struct timespec noWait = {0, 0};
    sigtimedwait(&set, nullptr, &noWait);
}

void restoreStartMask() {
    if (startMaskSaved) sigprocmask(SIG_SETMASK, &startMask, nullptr);
}

int runShellCommand(const char* command) {
    if (!startMaskSaved) return system(command);
    sigset_t daemonMask;
    sigprocmask(SIG_SETMASK, &startMask, &daemonMask);
    int status = system(command);
    sigprocmask(SIG_SETMASK, &daemonMask, nullptr);
    return status;
}

}  // namespace vantrel
