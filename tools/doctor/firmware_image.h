// The firmware image the daemon hands to bslsh, as it lies on the panel. One
// look serves both the firmware-image row and the board row, so the two
// never disagree about the same file.
#pragma once

#include <string>

#include "tools/doctor/doctor.h"
#include "tools/doctor/intel_hex.h"

namespace vantrel::doctor {

enum class ImageState {
    Missing,            // nothing at the path
    Unreadable,         // not a regular file, or the daemon's user may not read it
    DevelopmentMarker,  // the daemon never flashes
    NotIntelHex,        // the doctor cannot check it
    Damaged,            // a flash would write a broken image
    Valid,
};

struct FirmwareImage {
    ImageState state = ImageState::Missing;
    std::string path;     // where the daemon looks (under VANTREL_ROOT on a host)
    std::string problem;  // Missing, Unreadable: why; Damaged: "line N: what"
    HexSummary hex;       // NotIntelHex, Damaged, Valid
    std::string sha256;   // NotIntelHex, Damaged, Valid: of the whole file
};

// Reads the image once, as `daemonUser` would be allowed to.
FirmwareImage examineFirmwareImage(const Identity& daemonUser);

// "Intel HEX: 3 records, data 0x0000C000..0x0000FF86 (23 bytes); sha256 ...".
std::string describeValidImage(const FirmwareImage& image);

// The fixes about the image, each with what to type now over adb.
std::string shipReleaseImageAdvice();    // put the release's image in place
std::string compareWithReleaseAdvice();  // check the one there against the release

}  // namespace vantrel::doctor
