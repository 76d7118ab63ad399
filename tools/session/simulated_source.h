// The recorder's --simulated board. The test bench's build of the recorder
// has its simulated board on a pseudo-terminal (testbench/recorder-board);
// the shipped build (tools/, and the panel's) has none, and --simulated says
// so there (no_simulated_source.cpp).
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
