// The recorder's --simulated board on a host: the test bench's simulated
// board, with readings that change a little each time.
#include "session/simulated_source.h"

#include <exception>

#include "simboard/simulated_board.h"

namespace vantrel::session {

namespace {

class BenchBoard : public SimulatedSource {
  public:
    explicit BenchBoard(const wire::FirmwareVersion& firmware) : board_(firmware) {}

    const std::string& devicePath() const override { return board_.slavePath(); }

    void startStreams(const SimulatedStreams& s) override {
        board_.startVaryingStreams({s.motionHz, s.lightHz, s.nfcEvery, s.logEvery});
    }

  private:
    simboard::SimulatedBoard board_;
};

}  // namespace

std::unique_ptr<SimulatedSource> startSimulatedBoard(const wire::FirmwareVersion& firmware,
                                                     std::string* error) {
    try {
        return std::make_unique<BenchBoard>(firmware);
    } catch (const std::exception& failure) {
        *error = failure.what();
        return nullptr;
    }
}

}  // namespace vantrel::session
