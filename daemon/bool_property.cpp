#include "daemon/bool_property.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vantrel {

namespace {

int numberIsPositive(const char* text) {
    errno = 0;
    long number = strtol(text, nullptr, 10);
    // Only the conversion's own range error counts, and the signed 32-bit range.
    if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return 0;
    return number > 0 ? 1 : 0;
}

}  // namespace

int getBoolProperty(char* buffer, int size, const char* key) {
    // The platform writes up to kPropertyValueMax bytes whatever `size` says.
    if (buffer == nullptr || size < kPropertyValueMax) return 0;
    memset(buffer, 0, static_cast<size_t>(size));
    platformPropertyGet(key, buffer, "");
    if (buffer[0] == '\0') return 0;
    size_t limit = static_cast<size_t>(size) - 1;
    if (strncmp(buffer, "true", limit) == 0) return 1;
    if (strncmp(buffer, "false", limit) == 0) return 0;
    return numberIsPositive(buffer);
}

int queryBoolProperty(const char* key) {
    char buffer[kPropertyValueMax];
    return getBoolProperty(buffer, sizeof buffer, key);
}

}  // namespace vantrel
