// A serial link served from memory for the fuzz harnesses. read(), write()
// and select() on kFakeSerialFd are answered here; every other descriptor
// goes to the kernel. The daemon's framing, exchange and receive loop run
// unchanged on it.
//
// read() hands out the served bytes and then end of file (0), which the
// framing and the exchange take as a failed read. select() reports the link
// readable while bytes remain; once they are used up the link is quiet and
// `running` is cleared, as a SIGINT would, so the receive loop ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::fuzz {

constexpr int kFakeSerialFd = 1000;  // far above any descriptor the process opens

// The bytes the next reads return, from the start; forgets what was written.
void serveBytes(const uint8_t* bytes, size_t size);
size_t bytesServed();
size_t bytesLeft();
// The unread bytes, bytesLeft() of them.
const uint8_t* unreadBytes();

// Runs before every select() on the link, that is before every lead byte:
// the harness's per-pass checks.
void setBeforeWait(void (*check)());

// Remembers the last byte read into `address` (the exchange reads every lead
// byte into the caller's command buffer), until the next serveBytes(); -1
// when none was read there. nullptr stops watching and keeps the byte.
void watchReadsInto(const uint8_t* address);
int lastByteReadIntoWatched();
// How many reads went into the watched address since serveBytes().
size_t readsIntoWatched();

// What the daemon wrote to the link since serveBytes() (at most 64 bytes kept).
const uint8_t* writtenBytes();
size_t writtenCount();

}  // namespace vantrel::fuzz
