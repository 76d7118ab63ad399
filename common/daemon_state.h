// The process-wide state record shared by every subsystem. There is one
// instance, gState, with static lifetime; the SIGINT handler writes `running`
// and `serialFd` asynchronously, so both are read anew at every use.
#pragma once

#include <cstdint>

namespace vantrel {

constexpr int kMaxPayloadSize = 512;                // longest payload taken from the board
constexpr int kRxBufferSize = kMaxPayloadSize + 1;  // payload and its terminating zero
constexpr int kVersionTextSize = 12;                // "255.255.255" and its zero

struct DaemonState {
    bool verbose = false;          // write the verbose-only debug lines
    bool ignoreLight = true;       // light messages are not forwarded
    bool ignoreMotion = true;      // motion messages are not forwarded
    volatile bool running = true;  // the receive loop runs while true
    volatile int serialFd = -1;    // open serial port, -1 closed, negative after a failed open
    uint8_t rxBuffer[kRxBufferSize] = {};  // payload of the last packet read, zero-terminated
    int32_t rxLength = 0;                  // payload length of the last packet read successfully
    char boardVersion[kVersionTextSize] = {};  // board firmware version, major.minor.patch
    bool versionReceived = false;              // a version message has been processed
};

extern DaemonState gState;

// Puts every field back to its start value (a new run in the same process).
void resetDaemonState();

}  // namespace vantrel
