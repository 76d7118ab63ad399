// Mended checksums for half the inputs. A mutation of a frame's payload
// almost always breaks its checksum, and the daemon then drops the frame
// before the handlers see it; mending the checksums lets the fuzzer reach the
// handlers with any payload. The bytes are walked as the daemon reads them:
// a lead byte, then the frame it leads (if any), then the next lead byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::fuzz {

// Sets the checksum of every frame in `bytes` to the sum of its payload.
// With readsExtended false only standard frames are mended: the command
// exchange takes a 'Z' as one stray byte and reads no extended frame.
void repairChecksums(uint8_t* bytes, size_t size, bool readsExtended);

}  // namespace vantrel::fuzz
