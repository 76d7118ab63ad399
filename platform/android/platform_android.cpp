// The platform layer on the panel: liblog, libcutils, the real paths and the
// real clock. No environment variable changes anything here.
#include <android/log.h>
#include <cutils/properties.h>
#include <unistd.h>

#include "platform/platform.h"

namespace vantrel {

static_assert(PROPERTY_VALUE_MAX == kPropertyValueMax, "property size of the platform changed");

namespace {
const char* logTag = kLogTag;
}  // namespace

void platformLog(int priority, const char* format, va_list args) {
    __android_log_vprint(priority, logTag, format, args);
}

void platformSetLogTag(const char* tag) {
    logTag = tag;
}

int platformPropertyGet(const char* key, char* value, const char* defaultValue) {
    return property_get(key, value, defaultValue);
}

int platformPropertySet(const char* key, const char* value) {
    return property_set(key, value);
}

bool platformSettingsUsable() {
    return true;
}

const char* resolvePath(const char* fixedPath, char* /*buffer*/, size_t /*size*/) {
    return fixedPath;
}

void pauseSeconds(unsigned seconds) {
    sleep(seconds);
}

struct timeval scaledTimeout(long seconds, long microseconds) {
    struct timeval limit;
    limit.tv_sec = seconds;
    limit.tv_usec = microseconds;
    return limit;
}

}  // namespace vantrel
