// The recorder's --simulated board. On a host it is the test bench's
// simulated board on a pseudo-terminal (testbench/recorder-board); the panel
// build has no simulated board, and --simulated says so there.
#pragma once

#include <memory>
#include <string>

#include "wire/frames.h"

namespace vantrel::session {

// What the simulated board sends unasked: rates in frames per second,
// periods in seconds; 0 leaves a stream out.
struct SimulatedStreams {
    double motionHz = 0;
    double lightHz = 0;
    double nfcEvery = 0;
    double logEvery = 0;
};

class SimulatedSource {
public:
    virtual ~SimulatedSource() = default;
    // The device the recorder opens, the slave side of the board's pty.
    virtual const std::string& devicePath() const = 0;
    // Starts the board's streams; called once the start-up exchange is kept.
    virtual void startStreams(const SimulatedStreams& streams) = 0;
};

// A board answering with `firmware`, or nullptr with *error set.
std::unique_ptr<SimulatedSource> startSimulatedBoard(const wire::FirmwareVersion& firmware,
                                                     std::string* error);

}  // namespace vantrel::session
