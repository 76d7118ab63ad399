#include "common/log.h"

#include <cstdarg>
#include <cstdio>

#include "common/daemon_state.h"
#include "platform/platform.h"

namespace vantrel {

#define VANTREL_FORWARD_LOG(priority)    \
    va_list args;                        \
    va_start(args, format);              \
    platformLog(priority, format, args); \
    va_end(args)

void logDebug(const char* format, ...) {
    VANTREL_FORWARD_LOG(kLogDebug);
}

void logInfo(const char* format, ...) {
    VANTREL_FORWARD_LOG(kLogInfo);
}

void logError(const char* format, ...) {
    VANTREL_FORWARD_LOG(kLogError);
}

void logVerbose(const char* format, ...) {
    if (!gState.verbose) return;
    VANTREL_FORWARD_LOG(kLogDebug);
}

void printConsole(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

}  // namespace vantrel
