#include "firmware/image_marker.h"

#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {
constexpr char kDevelopmentMarker[] = "development build";
constexpr size_t kMarkerLength = sizeof kDevelopmentMarker - 1;
}  // namespace

bool isDevelopmentImage(const char* path) {
    FILE* image = fopen(path, "r");
    if (image == nullptr) return false;

    // Only whether the first line is the marker matters, so read no further
    // than one byte past its length. A read error ends the line like its end.
    char line[kMarkerLength + 1];
    size_t length = 0;
    int byte;
    while (length < sizeof line && (byte = getc(image)) != EOF && byte != '\n') {
        line[length++] = static_cast<char>(byte);
    }
    fclose(image);
    return length == kMarkerLength && memcmp(line, kDevelopmentMarker, kMarkerLength) == 0;
}

}  // namespace vantrel
