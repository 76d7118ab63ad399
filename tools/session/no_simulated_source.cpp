// The panel build of the recorder: no simulated board, only real devices.
#include "session/simulated_source.h"

namespace vantrel::session {

std::unique_ptr<SimulatedSource> startSimulatedBoard(const wire::FirmwareVersion& /*firmware*/,
                                                     std::string* error) {
    *error = "--simulated: this build has no simulated board; record a device with --device";
    return nullptr;
}

}  // namespace vantrel::session
