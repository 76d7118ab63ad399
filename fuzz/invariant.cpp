#include "fuzz/invariant.h"

#include <sanitizer/common_interface_defs.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vantrel::fuzz {

void invariantBroken(const char* format, ...) {
    char message[1024];
    int used = snprintf(message, sizeof message, "vantrel invariant broken: ");
    va_list args;
    va_start(args, format);
    vsnprintf(message + used, sizeof message - static_cast<size_t>(used), format, args);
    va_end(args);
    __sanitizer_report_error_summary(message);
    abort();
}

}  // namespace vantrel::fuzz
