// The world a harness gives the daemon: a throw-away VANTREL_ROOT whose
// data/pipeProx and data/pipeLight are FIFOs with a reader held open on each,
// so that the daemon's pipe writes really happen; VANTREL_LOG to /dev/null
// (the records are not examined; formatting them still runs); a small
// VANTREL_TIME_SCALE. The root is removed when the process exits normally.
#pragma once

#include <cstdint>

namespace vantrel::fuzz {

void prepareFuzzRoot();

// The values a step of the daemon must have written: -1 for none.
struct PipeValues {
    int32_t proximity = -1;
    int32_t light = -1;
};

// Empties both FIFOs; aborts unless they held exactly the values expected,
// as whole 4-byte values.
void checkPipes(PipeValues expected);

// The value a standard payload puts into its pipe when its stream is
// forwarded: ps1 + ps2 for 'M', vis for 'L' (none for any other letter).
PipeValues pipeValuesOf(const uint8_t* payload, bool forwarded);

}  // namespace vantrel::fuzz
