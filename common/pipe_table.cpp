#include "common/pipe_table.h"

namespace vantrel {

const char kPipePaths[kPipeCount][kPipePathSize] = {
    "/data/pipeProx",
    "/data/pipeLight",
    "/data/pipeNfc",
};

}  // namespace vantrel
