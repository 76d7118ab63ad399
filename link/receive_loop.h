// The daemon's steady state: read the board's frames one lead byte at a time
// and dispatch every good one, until SIGINT clears `running`.
#pragma once

namespace vantrel {

// Returns 1 when the loop has ended.
int readData();

}  // namespace vantrel
