// The host stand-ins for fixed paths and for the clock: VANTREL_ROOT goes in
// front of every fixed path, VANTREL_TIME_SCALE multiplies every pause and
// time limit. Both are checked once at start (platformSettingsUsable): a run
// with either unusable never starts, so it cannot reach the real /data, /dev,
// /sys or /vendor, nor run at a speed nobody asked for.
#include "platform/host/host_env.h"

#include <limits.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vantrel {

namespace {

// Room after the root: the longest fixed path, which also leaves room for a
// temporary file of the property store ("/properties/<key>.tmp.<pid>").
constexpr size_t kRoomAfterRoot = kFixedPathMax;

constexpr double kLargestScale = 1e6;

// An unusable scale never gets this far in the daemon (platformSettingsUsable
// refused it at start); code that runs without that check gets real time.
double usableScale() {
    double scale = hostTimeScale();
    return scale < 0.0 ? 1.0 : scale;
}

}  // namespace

const char* hostRoot() {
    const char* root = getenv("VANTREL_ROOT");
    return root != nullptr ? root : "";
}

size_t hostRootMaxLength() {
    return PATH_MAX - 1 - kRoomAfterRoot;
}

double hostTimeScale() {
    const char* text = getenv("VANTREL_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    double scale = strtod(text, &end);
    if (end == text || *end != '\0' || !(scale >= 0.0 && scale <= kLargestScale)) return -1.0;
    return scale;
}

bool platformSettingsUsable() {
    bool usable = true;
    size_t rootLength = strlen(hostRoot());
    if (rootLength > hostRootMaxLength()) {
        fprintf(stderr,
                "vantrel: VANTREL_ROOT is %zu bytes long; at most %zu leave room for the "
                "daemon's paths under it\n",
                rootLength, hostRootMaxLength());
        usable = false;
    }
    if (hostTimeScale() < 0.0) {
        fprintf(stderr,
                "vantrel: VANTREL_TIME_SCALE=\"%s\" is not a decimal number from 0 to %g "
                "(0: no pauses, 1: real time)\n",
                getenv("VANTREL_TIME_SCALE"), kLargestScale);
        usable = false;
    }
    return usable;
}

const char* resolvePath(const char* fixedPath, char* buffer, size_t size) {
    const char* root = hostRoot();
    if (*root == '\0') return fixedPath;
    int length = snprintf(buffer, size, "%s%s", root, fixedPath);
    // Never the real path when the root does not fit: nothing opens "".
    if ((length < 0 || static_cast<size_t>(length) >= size) && size > 0) buffer[0] = '\0';
    return buffer;
}

void pauseSeconds(unsigned seconds) {
    double total = seconds * usableScale();
    if (total <= 0.0) return;
    struct timespec pause;
    pause.tv_sec = static_cast<time_t>(total);
    pause.tv_nsec = static_cast<long>((total - static_cast<double>(pause.tv_sec)) * 1e9);
    // One call: a signal handler ends it with EINTR, which ends the pause.
    nanosleep(&pause, nullptr);
}

struct timeval scaledTimeout(long seconds, long microseconds) {
    double scale = usableScale();
    double total = (static_cast<double>(seconds) * 1e6 + static_cast<double>(microseconds)) * scale;
    long long micros = std::llround(total);
    // A scaled limit never becomes zero by rounding: only a scale of 0 asks
    // for a limit of zero.
    if (micros < 1 && scale > 0.0) micros = 1;
    struct timeval limit;
    limit.tv_sec = static_cast<time_t>(micros / 1000000);
    limit.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    return limit;
}

}  // namespace vantrel
