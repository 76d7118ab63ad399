// Tells the development marker file from a real firmware image.
#pragma once

namespace vantrel {

// True only when the file's first line (up to, not including, the first line
// feed) is exactly "development build". No file stays open.
bool isDevelopmentImage(const char* path);

}  // namespace vantrel
