// Declarations of libcutils' property functions, as the panel's platform has
// them, for compiling the Android platform layer on a host (Debian's host
// libcutils carries no property functions).
#pragma once

#define PROPERTY_KEY_MAX 32
#define PROPERTY_VALUE_MAX 92

extern "C" {
int property_get(const char* key, char* value, const char* default_value);
int property_set(const char* key, const char* value);
}
