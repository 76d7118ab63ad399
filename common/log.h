// Log helpers over the platform log, tag "Vantrel". logVerbose() writes only
// when DaemonState.verbose is set and formats nothing otherwise.
#pragma once

#define VANTREL_PRINTF(a, b) __attribute__((format(printf, a, b)))

namespace vantrel {

void logDebug(const char* format, ...) VANTREL_PRINTF(1, 2);
void logInfo(const char* format, ...) VANTREL_PRINTF(1, 2);
void logError(const char* format, ...) VANTREL_PRINTF(1, 2);
void logVerbose(const char* format, ...) VANTREL_PRINTF(1, 2);

// Lines for a console user: standard output, flushed at once so that a pipe
// or a log collector sees each line as it is printed.
void printConsole(const char* format, ...) VANTREL_PRINTF(1, 2);

}  // namespace vantrel
