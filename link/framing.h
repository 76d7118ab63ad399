// The two frame formats of the board protocol.
//
// Standard packet, 8 bytes, both directions:
//   [0] 'U'   [1..6] payload (byte 0 is the letter)   [7] sum of payload mod 256
// Extended packet, 4 + N bytes, board to daemon only:
//   [0] 'Z'   [1..2] N, big-endian   [3..3+N-1] payload (byte 0 is the command)
//   [3+N] sum of payload mod 256
// No escaping and no delimiter: a receiver out of step scans for a lead byte.
#pragma once

#include <cstdint>

namespace vantrel {

constexpr uint8_t kLeadStandard = 'U';
constexpr uint8_t kLeadExtended = 'Z';
constexpr int kStandardPayloadSize = 6;
constexpr int kStandardFrameSize = 1 + kStandardPayloadSize + 1;

// Read the rest of a frame whose lead byte the caller has consumed, one byte
// per read, into rxBuffer/rxLength. 1 when the checksum matched, else 0.
int readPacket();
int readExtendedPacket();

// Frames the 6 command bytes as a standard packet and writes it to serialFd.
int sendPacket(const uint8_t* command);

}  // namespace vantrel
