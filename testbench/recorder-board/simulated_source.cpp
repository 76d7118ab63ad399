// The recorder's --simulated board on a host: the test bench's simulated
// board, with readings that change a little each time.
#include "session/simulated_source.h"

#include <chrono>
#include <exception>

#include "simboard/simulated_board.h"

namespace vantrel::session {

namespace {

using Millis = std::chrono::milliseconds;

Millis every(double seconds) {
    return Millis(static_cast<long>(seconds * 1000.0 + 0.5));
}

class BenchBoard : public SimulatedSource {
public:
    explicit BenchBoard(const wire::FirmwareVersion& firmware) : board_(firmware) {}

    const std::string& devicePath() const override { return board_.slavePath(); }

    void startStreams(const SimulatedStreams& s) override {
        if (s.motionHz > 0) {
            board_.startStream(every(1.0 / s.motionHz), [k = 0]() mutable {
                ++k;
                return wire::motion(static_cast<uint16_t>(200 + (k * 37) % 400), 100);
            });
        }
        if (s.lightHz > 0) {
            board_.startStream(every(1.0 / s.lightHz), [k = 0]() mutable {
                ++k;
                return wire::light(static_cast<uint16_t>(300 + (k * 25) % 200), 90);
            });
        }
        if (s.nfcEvery > 0) {
            board_.startStream(every(s.nfcEvery), [k = 0]() mutable {
                return wire::nfc(4, 1, wire::Bytes{0x04, 0xA1, 0x5C, static_cast<uint8_t>(++k)});
            });
        }
        if (s.logEvery > 0) {
            board_.startStream(every(s.logEvery), [k = 0]() mutable {
                return wire::boardLog("sensor board ok #" + std::to_string(++k));
            });
        }
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
