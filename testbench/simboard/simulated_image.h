// The firmware image of the desk: a small Intel HEX file the daemon hands to
// the bslsh stand-in, which flashes the simulated board with the firmware
// version the image carries. The version sits in one data record at a fixed
// address behind a signature, a form only the test bench knows: nothing that
// ships reads a version from an image.
//
//     :020000040000FA                              extended linear address 0
//     :10C00000...                                 16 bytes of placeholder code
//     :07FF8000 56 53 49 4D 01 06 19 <sum>         "VSIM" and 1.6.25 at 0xFF80
//     :00000001FF                                  end of file
#pragma once

#include <optional>
#include <string>

#include "wire/frames.h"

namespace vantrel::simboard {

// The image text of `firmware`, lines ended by '\n'.
std::string simulatedImage(wire::FirmwareVersion firmware);

// The version an image made by simulatedImage() carries: the first record
// with a good checksum at the version's address and signature. nullopt for
// any other text.
std::optional<wire::FirmwareVersion> simulatedImageVersion(const std::string& text);

}  // namespace vantrel::simboard
