// The fixed table of sensor pipe paths (common/paths.h), indexed by PipeIndex.
#pragma once

#include <cstddef>

#include "common/paths.h"

namespace vantrel {

enum PipeIndex : int {
    kPipeProximity = 0,  // motion readings (psFinal)
    kPipeLight = 1,      // visible-light readings
    kPipeNfc = 2,        // never created or written: NFC leaves as broadcasts
};

constexpr int kPipeCount = 3;
constexpr size_t kPipePathSize = 20;  // a slot of the table: each path and its zero fit

inline constexpr const char* kPipePaths[kPipeCount] = {kPathPipeProximity, kPathPipeLight,
                                                       kPathPipeNfc};

static_assert(sizeof kPathPipeProximity <= kPipePathSize &&
                  sizeof kPathPipeLight <= kPipePathSize && sizeof kPathPipeNfc <= kPipePathSize,
              "a FIFO path outgrew its slot of the pipe table");

}  // namespace vantrel
