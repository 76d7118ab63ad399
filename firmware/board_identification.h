// Identifies the board, publishes its firmware version and brings the
// firmware to the one version the daemon requires.
// The version is published as kVersionProperty (common/paths.h).
#pragma once

#include "common/paths.h"

namespace vantrel {

// The one firmware version the daemon accepts; any other is flashed.
constexpr int kRequiredMajor = 1;
constexpr int kRequiredMinor = 6;
constexpr int kRequiredPatch = 25;

// Identification exchanges before the board counts as not answering.
constexpr int kIdentifyAttempts = 10;

// 1 when the board answered with its version and no upgrade was tried; 0 when
// the board cannot be used. After a successful upgrade the process ends with
// status 0, to be started again on the new firmware.
int identifyAndUpgradeBoard();

}  // namespace vantrel
