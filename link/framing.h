// Reading and writing the frames of the board protocol (link/protocol.h) on
// the serial port, one byte per read.
#pragma once

#include <cstdint>

#include "link/protocol.h"

namespace vantrel {

// Read the rest of a frame whose lead byte the caller has consumed, one byte
// per read, into rxBuffer/rxLength. 1 when the checksum matched, else 0.
int readPacket();
int readExtendedPacket();

// Frames the 6 command bytes as a standard packet and writes it to serialFd.
int sendPacket(const uint8_t* command);

}  // namespace vantrel
