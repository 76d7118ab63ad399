#include "firmware/image_marker.h"

#include <cstring>
#include <fstream>

namespace vantrel {

namespace {
constexpr char kDevelopmentMarker[] = "development build";
constexpr size_t kMarkerLength = sizeof kDevelopmentMarker - 1;
}  // namespace

bool isDevelopmentImage(const char* path) {
    std::ifstream image(path, std::ios::in | std::ios::binary);
    if (!image.is_open() || !image.good()) return false;

    // Only whether the first line is the marker matters, so read no further
    // than one byte past its length.
    char line[kMarkerLength + 1];
    size_t length = 0;
    char byte;
    while (length < sizeof line && image.get(byte) && byte != '\n') line[length++] = byte;
    return length == kMarkerLength && memcmp(line, kDevelopmentMarker, kMarkerLength) == 0;
}

}  // namespace vantrel
