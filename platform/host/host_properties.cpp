// The host property store: $VANTREL_ROOT/properties/<key>, one file per key.
// One trailing line feed in a file is not part of the value; values are
// written atomically (temporary file, then rename) without a line feed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/host/host_env.h"
#include "platform/platform.h"

namespace vantrel {

namespace {

constexpr char kStoreDirectory[] = "/properties";

// A key names a file in the store, so it may not leave the store.
bool isStorableKey(const char* key) {
    return key != nullptr && *key != '\0' && strchr(key, '/') == nullptr && strcmp(key, ".") != 0 &&
           strcmp(key, "..") != 0;
}

bool propertyPath(const char* key, char* path, size_t size) {
    if (!isStorableKey(key)) return false;
    int length = snprintf(path, size, "%s%s/%s", hostRoot(), kStoreDirectory, key);
    return length > 0 && static_cast<size_t>(length) < size;
}

// Reads up to `size` bytes; returns how many, or -1. Only a regular file
// holds a value: anything else in the store (a FIFO, a folder) reads as
// unset, and opening it must not wait for a writer.
ssize_t readStoredValue(const char* path, char* text, size_t size) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    size_t used = 0;
    while (used < size) {
        ssize_t got = read(fd, text + used, size - used);
        if (got <= 0) break;
        used += static_cast<size_t>(got);
    }
    close(fd);
    return static_cast<ssize_t>(used);
}

int copyDefault(char* value, const char* defaultValue) {
    if (defaultValue == nullptr) {
        value[0] = '\0';
        return 0;
    }
    size_t length = strnlen(defaultValue, kPropertyValueMax - 1);
    memcpy(value, defaultValue, length);
    value[length] = '\0';
    return static_cast<int>(length);
}

bool writeWholeFile(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t wrote = write(fd, text, length);
        if (wrote <= 0) return false;
        text += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace

int platformPropertyGet(const char* key, char* value, const char* defaultValue) {
    char path[PATH_MAX];
    if (!propertyPath(key, path, sizeof path)) return copyDefault(value, defaultValue);
    // One byte more than a value may hold, for the line feed that is not part of it.
    char text[kPropertyValueMax];
    ssize_t length = readStoredValue(path, text, sizeof text);
    if (length > 0 && text[length - 1] == '\n') --length;
    if (length > kPropertyValueMax - 1) length = kPropertyValueMax - 1;
    if (length <= 0) return copyDefault(value, defaultValue);
    memcpy(value, text, static_cast<size_t>(length));
    value[length] = '\0';
    return static_cast<int>(length);
}

int platformPropertySet(const char* key, const char* value) {
    char path[PATH_MAX];
    char temporary[PATH_MAX + 32];
    if (value == nullptr || !propertyPath(key, path, sizeof path)) return -1;
    size_t length = strlen(value);
    if (length > kPropertyValueMax - 1) return -1;

    char directory[PATH_MAX];
    snprintf(directory, sizeof directory, "%s%s", hostRoot(), kStoreDirectory);
    if (mkdir(directory, 0755) != 0 && errno != EEXIST) return -1;

    snprintf(temporary, sizeof temporary, "%s.tmp.%d", path, static_cast<int>(getpid()));
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    bool written = writeWholeFile(fd, value, length);
    if (close(fd) != 0 || !written || rename(temporary, path) != 0) {
        unlink(temporary);
        return -1;
    }
    return 0;
}

}  // namespace vantrel
