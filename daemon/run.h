// The daemon's run sequence, from the FIFOs to the exit status.
// The property keys it reads are in common/paths.h.
#pragma once

#include "common/paths.h"

namespace vantrel {

// The banner's line that says the receive phase has begun (standard output).
constexpr char kReceiveBanner[] = "* Scan for messages...";

// Everything main does; returns the process exit status.
int runDaemon(int argc, char** argv);

// SIGINT: ends the receive phase and closes the serial port.
void handleSigint(int signal);

}  // namespace vantrel
