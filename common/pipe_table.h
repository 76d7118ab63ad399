// The fixed table of sensor pipe paths, indexed by PipeIndex.
#pragma once

namespace vantrel {

enum PipeIndex : int {
    kPipeProximity = 0,  // motion readings (psFinal)
    kPipeLight = 1,      // visible-light readings
    kPipeNfc = 2,        // never created or written: NFC leaves as broadcasts
};

constexpr int kPipeCount = 3;
constexpr int kPipePathSize = 20;

extern const char kPipePaths[kPipeCount][kPipePathSize];

}  // namespace vantrel
