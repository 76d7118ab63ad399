// The daemon's one seam to the platform: the Android log, system properties,
// the fixed device paths and the clock used for pauses and time limits.
//
// Two implementations exist: platform/android/ calls liblog and libcutils and
// uses every path and pause as it is; platform/host/ lets the daemon run on a
// plain Linux machine (VANTREL_ROOT, VANTREL_LOG, VANTREL_TIME_SCALE and a
// property store of one file per key). The build picks one; the logic never
// asks which.
#pragma once

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>

namespace vantrel {

// Largest property value of the platform, terminating zero included.
constexpr int kPropertyValueMax = 92;

// Android log priorities used by the daemon.
enum LogPriority : int {
    kLogDebug = 3,
    kLogInfo = 4,
    kLogError = 6,
};

// The tag of every record the daemon writes.
constexpr char kLogTag[] = "Vantrel";

// Writes one record with the log tag, printf-style.
void platformLog(int priority, const char* format, va_list args);

// The tag of every later record: kLogTag unless changed. A tool that runs
// the daemon's code sets its own, so that the daemon's tag (logcat -s
// Vantrel) keeps only the daemon's records. `tag` must outlive its use; at
// most 23 characters, as the platform's tags.
void platformSetLogTag(const char* tag);

// property_get: copies the value of `key` (at most 91 bytes and a zero) into
// `value`, or `defaultValue` when the property is unset or empty. Returns the
// length of what was copied. `value` must hold kPropertyValueMax bytes.
int platformPropertyGet(const char* key, char* value, const char* defaultValue);

// property_set: 0 on success, -1 when the value cannot be stored.
int platformPropertySet(const char* key, const char* value);

// Checks the platform's own settings before the daemon does anything else.
// On a host these are VANTREL_ROOT and VANTREL_TIME_SCALE: a root that leaves
// no room for the fixed paths, or a scale that is not a number of 0 or more,
// is reported on standard error and the answer is false (the daemon then ends
// with status 1). The panel has nothing to check.
bool platformSettingsUsable();

// The longest fixed path the daemon hands to resolvePath(), its zero
// included (common/paths.h holds every one to it). A host keeps this much
// room after VANTREL_ROOT.
constexpr size_t kFixedPathMax = 64;

// Turns one of the daemon's fixed absolute paths into the path to use.
// Returns either `fixedPath` itself or `buffer`, filled. On a host, a path
// that does not fit in `size` bytes comes back as "" (which nothing can
// open), never as the real path.
const char* resolvePath(const char* fixedPath, char* buffer, size_t size);

// Sleeps for a pause of the daemon. A signal handler that runs meanwhile ends
// the pause early. On a host with VANTREL_TIME_SCALE=0 there is no pause.
void pauseSeconds(unsigned seconds);

// A time limit for select(), as the daemon states it. On a host it is scaled;
// with VANTREL_TIME_SCALE=0 it is zero (select() then only polls).
struct timeval scaledTimeout(long seconds, long microseconds);

}  // namespace vantrel
