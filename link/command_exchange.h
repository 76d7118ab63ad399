// The one way the daemon gives the board an order: send a standard packet,
// wait for the board's 'A' acknowledgement and then (with waitReply) for its
// reply, which is dispatched before the call returns. Runs only at start-up,
// before the receive loop, as the link's only reader.
#pragma once

#include <cstdint>

namespace vantrel {

// `command` holds 6 command bytes; every lead byte read after sending lands in
// command[0]. 1 for success, 0 for failure (see the exchange's outcomes).
int sendCommand(uint8_t* command, bool waitReply);

}  // namespace vantrel
