#include "bench/memory_link.h"

#include <sys/select.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "common/daemon_state.h"

namespace vantrel::bench {

namespace {
const uint8_t* linkBytes = nullptr;
size_t linkSize = 0;
size_t linkPosition = 0;
}  // namespace

void setMemoryLink(const uint8_t* bytes, size_t size) {
    linkBytes = bytes;
    linkSize = size;
    linkPosition = 0;
}

bool memoryLinkHasBytes() {
    return linkPosition < linkSize;
}

}  // namespace vantrel::bench

using vantrel::bench::kMemoryLinkFd;

// Defined in the benchmark executable, these take the place of the C
// library's functions for every caller in the process.
extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    if (fd != kMemoryLinkFd) return syscall(SYS_read, fd, buffer, count);
    using namespace vantrel::bench;
    size_t left = linkSize - linkPosition;
    if (count > left) count = left;
    memcpy(buffer, linkBytes + linkPosition, count);
    linkPosition += count;
    return static_cast<ssize_t>(count);
}

// The link is readable while bytes remain; when they run out the receive loop
// is told to stop, as a SIGINT would.
extern "C" int select(int count, fd_set* readable, fd_set* writable, fd_set* failed,
                      struct timeval* limit) {
    if (count != kMemoryLinkFd + 1 || readable == nullptr || !FD_ISSET(kMemoryLinkFd, readable)) {
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
    if (vantrel::bench::memoryLinkHasBytes()) return 1;
    vantrel::gState.running = false;
    FD_ZERO(readable);
    return 0;
}
