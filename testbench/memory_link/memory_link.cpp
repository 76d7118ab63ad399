#include "testbench/memory_link/memory_link.h"

#include <sys/select.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/daemon_state.h"

namespace vantrel::memlink {

namespace {

constexpr size_t kReadsAtEndMax = 1000;

const uint8_t* linkBytes = nullptr;
size_t linkSize = 0;
size_t position = 0;
uint8_t writtenBytes[kWrittenMax];
size_t writtenSize = 0;
long long waitLimits[kWaitsMax];
size_t waits = 0;
size_t endReads = 0;
void (*beforeWait)() = nullptr;

ssize_t readLink(void* buffer, size_t count) {
    size_t rest = linkSize - position;
    if (rest == 0 && count > 0 && ++endReads > kReadsAtEndMax) {
        errno = EIO;
        return -1;
    }
    if (count > rest) count = rest;
    memcpy(buffer, linkBytes + position, count);
    position += count;
    return static_cast<ssize_t>(count);
}

ssize_t writeLink(const void* buffer, size_t count) {
    size_t kept = count < kWrittenMax - writtenSize ? count : kWrittenMax - writtenSize;
    memcpy(writtenBytes + writtenSize, buffer, kept);
    writtenSize += kept;
    return static_cast<ssize_t>(count);
}

int waitLink(fd_set* readable, const struct timeval* limit) {
    if (waits < kWaitsMax) {
        waitLimits[waits] = limit == nullptr ? -1 : limit->tv_sec * 1000000LL + limit->tv_usec;
    }
    ++waits;
    if (beforeWait != nullptr) beforeWait();
    if (left() > 0) return 1;
    gState.running = false;
    FD_ZERO(readable);
    return 0;
}

}  // namespace

void serve(const uint8_t* bytes, size_t size) {
    linkBytes = bytes;
    linkSize = size;
    position = 0;
    writtenSize = 0;
    waits = 0;
    endReads = 0;
}

size_t served() {
    return position;
}

size_t left() {
    return linkSize - position;
}

const uint8_t* unread() {
    return linkBytes + position;
}

const uint8_t* written() {
    return writtenBytes;
}

size_t writtenCount() {
    return writtenSize;
}

size_t waitCount() {
    return waits;
}

long long waitLimitMicros(size_t i) {
    return i < kWaitsMax && i < waits ? waitLimits[i] : -1;
}

size_t readsAtEnd() {
    return endReads;
}

void setBeforeWait(void (*check)()) {
    beforeWait = check;
}

}  // namespace vantrel::memlink

using vantrel::memlink::kLinkFd;

// Defined in the executable, these take the place of the C library's
// functions for every caller in the process.
extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    if (fd == kLinkFd) return vantrel::memlink::readLink(buffer, count);
    return syscall(SYS_read, fd, buffer, count);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    if (fd == kLinkFd) return vantrel::memlink::writeLink(buffer, count);
    return syscall(SYS_write, fd, buffer, count);
}

extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                      struct timeval* limit) {
    if (count == kLinkFd + 1 && readable != nullptr && FD_ISSET(kLinkFd, readable)) {
        return vantrel::memlink::waitLink(readable, limit);
    }
    struct timespec wait;
    if (limit != nullptr) {
        wait.tv_sec = limit->tv_sec;
        wait.tv_nsec = limit->tv_usec * 1000;
    }
    return static_cast<int>(syscall(SYS_pselect6, count, readable, writable, failed,
                                    limit != nullptr ? &wait : nullptr, nullptr));
}
