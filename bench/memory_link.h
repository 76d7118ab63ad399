// An in-memory serial link for benchmarks: read() and select() on
// kMemoryLinkFd are served from a byte array, every other descriptor goes to
// the kernel. The daemon's framing and dispatch code run unchanged on it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::bench {

constexpr int kMemoryLinkFd = 1000;

// The bytes the next reads of kMemoryLinkFd return, from the start.
void setMemoryLink(const uint8_t* bytes, size_t size);

// True while unread bytes remain.
bool memoryLinkHasBytes();

}  // namespace vantrel::bench
