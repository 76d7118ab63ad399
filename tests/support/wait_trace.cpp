// Linked into vantrel-traced, the daemon that scenarios run: the same library
// and main as vantrel, with its pauses, port waits and child waits passed
// through here on their way to the C library (the linker's --wrap). Each
// call appends one line before it starts and one when it returns to the file
// named by VANTREL_WAIT_TRACE:
//
//   pause 5        nanosleep, in the daemon's own seconds (VANTREL_TIME_SCALE
//   pause end      taken out), so a scenario states 5 s whatever its scale
//   wait 0.5       select with this time limit
//   wait end
//   child          waitpid for am or bslsh
//   child end
//
// The scenario runner reads it to report the pauses and time limits and to
// know where the daemon sleeps (to send SIGINT inside a given pause).
#include <fcntl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/host_env.h"

extern "C" {
int __real_nanosleep(const struct timespec* request, struct timespec* remain);
int __real_select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                  struct timeval* limit);
pid_t __real_waitpid(pid_t child, int* status, int options);
}

namespace {

// Keeps errno as the traced call left it: the daemon reports it.
void trace(const char* text) {
    int saved = errno;
    static int fd = -2;
    if (fd == -2) {
        const char* path = getenv("VANTREL_WAIT_TRACE");
        fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    }
    if (fd >= 0) (void)!write(fd, text, strlen(text));
    errno = saved;
}

void traceSeconds(const char* kind, double seconds) {
    double scale = vantrel::hostTimeScale();
    if (scale > 0) seconds /= scale;
    char line[64];
    snprintf(line, sizeof line, "%s %g\n", kind, std::round(seconds * 1000.0) / 1000.0);
    trace(line);
}

}  // namespace

extern "C" int __wrap_nanosleep(const struct timespec* request, struct timespec* remain) {
    traceSeconds("pause", static_cast<double>(request->tv_sec) + request->tv_nsec / 1e9);
    int result = __real_nanosleep(request, remain);
    trace("pause end\n");
    return result;
}

extern "C" int __wrap_select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                             struct timeval* limit) {
    if (limit != nullptr) {
        traceSeconds("wait", static_cast<double>(limit->tv_sec) + limit->tv_usec / 1e6);
    } else {
        trace("wait forever\n");
    }
    int result = __real_select(count, readable, writable, failed, limit);
    trace("wait end\n");
    return result;
}

extern "C" pid_t __wrap_waitpid(pid_t child, int* status, int options) {
    trace("child\n");
    pid_t result = __real_waitpid(child, status, options);
    trace("child end\n");
    return result;
}
