// Boolean settings read from system properties.
#pragma once

namespace vantrel {

// Reads `key` into `buffer` (the raw text, zero-padded) and turns it into yes
// (1) or no (0): exactly "true" is yes, "false" no, anything else a strtol
// base-10 number that is yes above 0 (no outside the signed 32-bit range).
// A null buffer or a size below the platform's value size reads nothing: 0.
int getBoolProperty(char* buffer, int size, const char* key);

// The same reading through a buffer of its own.
int queryBoolProperty(const char* key);

}  // namespace vantrel
