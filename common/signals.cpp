#include "common/signals.h"

#include <paths.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel {

namespace {
sigset_t startMask;
bool startMaskSaved = false;
ShellRunner shellRunner = nullptr;  // nullptr: the platform shell

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

void setShellRunner(ShellRunner runner) {
    shellRunner = runner;
}

int runShellCommand(const char* command) {
    if (shellRunner != nullptr) return shellRunner(command);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        restoreStartMask();
        execl(_PATH_BSHELL, "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace vantrel
