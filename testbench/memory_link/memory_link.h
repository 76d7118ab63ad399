// A serial link served from memory, shared by the micro-benchmarks, the fuzz
// harnesses and the tests. read(), write() and select() on kLinkFd are
// answered here; every other descriptor goes to the kernel. The daemon's
// serial primitives, framing, exchange and receive loop run unchanged on it.
//
// read() hands out the served bytes, then end of file (0). select() on the
// link alone reports it readable while bytes remain; once they are used up it
// times out at once and clears `running`, as a SIGINT would, so the receive
// loop ends. The link records what the daemon wrote and the time limit of
// every select() it was asked for. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::memlink {

constexpr int kLinkFd = 1000;  // far above any descriptor the process opens
constexpr size_t kWrittenMax = 256;
constexpr size_t kWaitsMax = 256;

// The bytes the next reads return, from the start; forgets writes and waits.
void serve(const uint8_t* bytes, size_t size);
size_t served();
size_t left();
const uint8_t* unread();

// What the daemon wrote since serve() (the first kWrittenMax bytes).
const uint8_t* written();
size_t writtenCount();

// select() calls on the link since serve(), and the time limit of the i-th
// (i below kWaitsMax) in microseconds, -1 for none.
size_t waitCount();
long long waitLimitMicros(size_t i);

// Reads asked for after the bytes ran out. A reader that keeps reading at end
// of file gets EIO after a thousand, so a fault cannot hang the process.
size_t readsAtEnd();

// Runs before every select() on the link: a harness's per-pass checks.
void setBeforeWait(void (*check)());

}  // namespace vantrel::memlink
