// The named pipes that carry sensor values to other processes: one 4-byte
// integer in host byte order per value, written without ever blocking.
#pragma once

#include <cstdint>

#include "common/pipe_table.h"

namespace vantrel {

// Creates a FIFO (mode 0666 under a creation mask of 0). 0 when created or
// already there, -1 on any other failure.
int openPipe(const char* path);

// Writes one value with its own non-blocking open, write and close. A value
// nobody can take (no reader, full FIFO, path gone) is dropped silently.
void writePipe(PipeIndex index, int32_t value);

// The path of a pipe slot as this build uses it (under the path root on a host).
const char* pipePath(PipeIndex index, char* buffer, unsigned size);

}  // namespace vantrel
