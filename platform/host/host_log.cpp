// Log records in logcat's brief style, "<P>/Vantrel: <message>", appended to
// VANTREL_LOG or written to standard error. Each record, all its lines
// included, leaves in one write so that readers never see a torn line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace vantrel {

namespace {

const char* logTag = kLogTag;
constexpr size_t kMessageMax = 4096;
constexpr size_t kRecordMax = 8192;

char priorityLetter(int priority) {
    switch (priority) {
        case 2:
            return 'V';
        case 3:
            return 'D';
        case 4:
            return 'I';
        case 5:
            return 'W';
        case 6:
            return 'E';
        case 7:
            return 'F';
        default:
            return '?';
    }
}

// Builds the record for `message` (its trailing line feeds already dropped)
// into `record`; a line feed inside the message starts a new prefixed line.
size_t buildRecord(char letter, const char* message, size_t length, char* record) {
    char prefix[32];
    int prefixLength = snprintf(prefix, sizeof prefix, "%c/%s: ", letter, logTag);
    if (prefixLength < 0) prefixLength = 0;
    if (prefixLength >= static_cast<int>(sizeof prefix)) prefixLength = sizeof prefix - 1;
    size_t used = 0;
    auto appendPrefix = [&]() {
        for (int i = 0; i < prefixLength; ++i) record[used++] = prefix[i];
    };
    appendPrefix();
    for (size_t i = 0; i < length; ++i) {
        // Keep room for a prefix, one byte and the final line feed.
        if (used + prefixLength + 2 >= kRecordMax) break;
        record[used++] = message[i];
        if (message[i] == '\n') appendPrefix();
    }
    record[used++] = '\n';
    return used;
}

void writeRecord(const char* record, size_t length) {
    const char* path = getenv("VANTREL_LOG");
    if (path == nullptr || *path == '\0') {
        (void)!write(STDERR_FILENO, record, length);
        return;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        (void)!write(STDERR_FILENO, record, length);
        return;
    }
    (void)!write(fd, record, length);
    close(fd);
}

}  // namespace

void platformSetLogTag(const char* tag) {
    logTag = tag;
}

void platformLog(int priority, const char* format, va_list args) {
    char message[kMessageMax];
    int formatted = vsnprintf(message, sizeof message, format, args);
    if (formatted < 0) return;
    size_t length = static_cast<size_t>(formatted);
    if (length >= sizeof message) length = sizeof message - 1;
    while (length > 0 && message[length - 1] == '\n') --length;

    char record[kRecordMax];
    size_t recordLength = buildRecord(priorityLetter(priority), message, length, record);
    writeRecord(record, recordLength);
}

}  // namespace vantrel
