// Watches every frame read of the daemon. readPacket() and readExtendedPacket()
// are wrapped at link time (-Wl,--wrap, see CMakeLists.txt): before each call
// the wrapper works out from the unread link bytes what the frame must give,
// after it compares the result, the bytes consumed, rxLength, the payload in
// rxBuffer and its terminating zero, and aborts on any difference.
#pragma once

#include <cstddef>

namespace vantrel::fuzz {

struct FrameCounts {
    size_t standardReads = 0;     // readPacket() calls
    size_t standardGood = 0;      // of them accepted
    size_t extendedReads = 0;     // readExtendedPacket() calls
    size_t extendedGood = 0;      // of them accepted
    size_t acknowledgements = 0;  // accepted standard packets with the letter 'A'
    size_t goodAfterAck = 0;      // accepted standard packets after the first 'A'
    size_t leadReadsAtAck = 0;    // readsIntoWatched() when the first 'A' was accepted
    size_t bytesInFrames = 0;     // link bytes taken by the frame readers
};

void resetFrameCounts();
const FrameCounts& frameCounts();

// rxLength within 0..512, and the terminator after an accepted frame still in
// place: for the checks between frames.
void checkReceiveBuffer();

}  // namespace vantrel::fuzz
