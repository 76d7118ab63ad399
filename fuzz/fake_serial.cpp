#include "fuzz/fake_serial.h"

#include <sys/select.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "common/daemon_state.h"

namespace vantrel::fuzz {

namespace {

constexpr size_t kWrittenMax = 64;

const uint8_t* linkBytes = nullptr;
size_t linkSize = 0;
size_t linkPosition = 0;
void (*beforeWait)() = nullptr;
const uint8_t* watchedAddress = nullptr;
int lastWatchedByte = -1;
size_t watchedReads = 0;
uint8_t written[kWrittenMax];
size_t writtenSize = 0;

ssize_t readFromLink(void* buffer, size_t count) {
    size_t left = linkSize - linkPosition;
    if (count > left) count = left;
    memcpy(buffer, linkBytes + linkPosition, count);
    linkPosition += count;
    if (count > 0 && buffer == watchedAddress) {
        lastWatchedByte = static_cast<const uint8_t*>(buffer)[count - 1];
        ++watchedReads;
    }
    return static_cast<ssize_t>(count);
}

ssize_t writeToLink(const void* buffer, size_t count) {
    size_t kept = count < kWrittenMax - writtenSize ? count : kWrittenMax - writtenSize;
    memcpy(written + writtenSize, buffer, kept);
    writtenSize += kept;
    return static_cast<ssize_t>(count);
}

bool waitsOnLinkOnly(int count, fd_set* readable) {
    return count == kFakeSerialFd + 1 && readable != nullptr && FD_ISSET(kFakeSerialFd, readable);
}

int kernelSelect(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                 struct timeval* limit) {
    struct timespec wait;
    struct timespec* waitLimit = nullptr;
    if (limit != nullptr) {
        wait.tv_sec = limit->tv_sec;
        wait.tv_nsec = limit->tv_usec * 1000;
        waitLimit = &wait;
    }
    return static_cast<int>(
        syscall(SYS_pselect6, count, readable, writable, failed, waitLimit, nullptr));
}

}  // namespace

void serveBytes(const uint8_t* bytes, size_t size) {
    linkBytes = bytes;
    linkSize = size;
    linkPosition = 0;
    writtenSize = 0;
    lastWatchedByte = -1;
    watchedReads = 0;
}

size_t bytesServed() {
    return linkPosition;
}

size_t bytesLeft() {
    return linkSize - linkPosition;
}

const uint8_t* unreadBytes() {
    return linkBytes + linkPosition;
}

void setBeforeWait(void (*check)()) {
    beforeWait = check;
}

void watchReadsInto(const uint8_t* address) {
    watchedAddress = address;
}

int lastByteReadIntoWatched() {
    return lastWatchedByte;
}

size_t readsIntoWatched() {
    return watchedReads;
}

const uint8_t* writtenBytes() {
    return written;
}

size_t writtenCount() {
    return writtenSize;
}

}  // namespace vantrel::fuzz

using vantrel::fuzz::kFakeSerialFd;

// Defined in the harness executable, these take the place of the C library's
// functions for every caller in the process.
extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    if (fd != kFakeSerialFd) return syscall(SYS_read, fd, buffer, count);
    return vantrel::fuzz::readFromLink(buffer, count);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
    if (fd != kFakeSerialFd) return syscall(SYS_write, fd, buffer, count);
    return vantrel::fuzz::writeToLink(buffer, count);
}

extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                      struct timeval* limit) {
    using namespace vantrel::fuzz;
    if (!waitsOnLinkOnly(count, readable)) {
        return kernelSelect(count, readable, writable, failed, limit);
    }
    if (beforeWait != nullptr) beforeWait();
    if (bytesLeft() > 0) return 1;
    vantrel::gState.running = false;
    FD_ZERO(readable);
    return 0;
}
