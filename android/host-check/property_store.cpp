// libcutils' property_get and property_set for the host checks of the panel's
// platform layer: a map in the process stands in for the property service.
#include <cutils/properties.h>

#include <cstring>
#include <map>
#include <string>

namespace {
std::map<std::string, std::string> store;
}  // namespace

extern "C" int property_get(const char* key, char* value, const char* default_value) {
    auto found = store.find(key);
    const char* text = found != store.end() ? found->second.c_str() : default_value;
    if (text == nullptr) text = "";
    size_t length = strnlen(text, PROPERTY_VALUE_MAX - 1);
    memcpy(value, text, length);
    value[length] = '\0';
    return static_cast<int>(length);
}

extern "C" int property_set(const char* key, const char* value) {
    store[key] = value;
    return 0;
}
