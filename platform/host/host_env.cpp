// The host stand-ins for fixed paths and for the clock: VANTREL_ROOT goes in
// front of every fixed path, VANTREL_TIME_SCALE multiplies every pause and
// time limit.
#include "platform/host/host_env.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace vantrel {

const char* hostRoot() {
    const char* root = getenv("VANTREL_ROOT");
    return root != nullptr ? root : "";
}

double hostTimeScale() {
    const char* text = getenv("VANTREL_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    double scale = strtod(text, &end);
    if (end == text || *end != '\0' || !(scale > 0.0 && scale < 1e6)) return 1.0;
    return scale;
}

const char* resolvePath(const char* fixedPath, char* buffer, size_t size) {
    const char* root = hostRoot();
    if (*root == '\0') return fixedPath;
    int length = snprintf(buffer, size, "%s%s", root, fixedPath);
    if (length < 0 || static_cast<size_t>(length) >= size) return fixedPath;
    return buffer;
}

void pauseSeconds(unsigned seconds) {
    double total = seconds * hostTimeScale();
    struct timespec pause;
    pause.tv_sec = static_cast<time_t>(total);
    pause.tv_nsec = static_cast<long>((total - static_cast<double>(pause.tv_sec)) * 1e9);
    // One call: a signal handler ends it with EINTR, which ends the pause.
    nanosleep(&pause, nullptr);
}

struct timeval scaledTimeout(long seconds, long microseconds) {
    double total =
        (static_cast<double>(seconds) * 1e6 + static_cast<double>(microseconds)) * hostTimeScale();
    // NOLINTNEXTLINE(bugprone-incorrect-roundings): total is never negative, so this rounds
    long long micros = static_cast<long long>(total + 0.5);
    if (micros < 1) micros = 1;  // a limit of zero would turn every wait into a poll
    struct timeval limit;
    limit.tv_sec = static_cast<time_t>(micros / 1000000);
    limit.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    return limit;
}

}  // namespace vantrel
