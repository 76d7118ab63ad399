// Acting on the sensor board outside the serial protocol: its hardware reset
// line (sysfs GPIO 101) and the bootstrap-loader tool `bslsh`.
#pragma once

namespace vantrel {

// Drives the reset line to 1 for 3 s, then to 0, then waits 15 s. Returns at
// once, after an error line, when the value file cannot be opened.
void resetSensorBoard();

// Runs "bslsh --device <port> --checkComm". The tool's exit status (0 when
// the bootstrap loader answered), 1 for every other outcome.
int bslCommCheck();

// Runs "bslsh --device <port> --bsl --eraseall --reset --flash <image>". The
// tool's exit status (0 when the image was flashed), 1 for every other outcome.
int bslUpgrade();

}  // namespace vantrel
