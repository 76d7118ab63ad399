// Builds the panel's platform layer against the real liblog and libcutils'
// property declarations, and checks what it does. Property calls land in the
// small store of property_store.cpp, which stands in for the platform's
// property service.
#include <cutils/properties.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {
int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

void logThroughPlatform(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vantrel::platformLog(priority, format, args);
    va_end(args);
}
}  // namespace

// Debian's host liblog prints records on standard error: catch them there.
std::string logOnce(int priority, const char* text) {
    int channel[2];
    if (pipe(channel) != 0) return "";
    int saved = dup(STDERR_FILENO);
    dup2(channel[1], STDERR_FILENO);
    logThroughPlatform(priority, "%s", text);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(channel[1]);
    char record[512] = {};
    ssize_t got = read(channel[0], record, sizeof record - 1);
    close(channel[0]);
    return got > 0 ? std::string(record, static_cast<size_t>(got)) : "";
}

int main() {
    std::string record = logOnce(vantrel::kLogInfo, "platform check 42");
    expect(record.find("Vantrel") != std::string::npos, "log record carries the tag");
    expect(record.find("platform check 42") != std::string::npos, "log record carries the text");

    expect(vantrel::platformPropertySet("sys.com.zyn.sensor.version", "1.6.25") == 0, "set");
    char value[vantrel::kPropertyValueMax];
    expect(vantrel::platformPropertyGet("sys.com.zyn.sensor.version", value, "") == 6,
           "get length");
    expect(strcmp(value, "1.6.25") == 0, "get value");
    expect(vantrel::platformPropertyGet("com.zyn.vantrel.led", value, "") == 0, "unset");

    char buffer[64];
    const char* path = vantrel::resolvePath("/dev/ttymxc1", buffer, sizeof buffer);
    expect(strcmp(path, "/dev/ttymxc1") == 0, "paths are used as they are");
    struct timeval limit = vantrel::scaledTimeout(10, 500000);
    expect(limit.tv_sec == 10 && limit.tv_usec == 500000, "time limits are not scaled");

    printf("android platform check: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
