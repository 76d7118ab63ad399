// What the host build reads from its environment, in one place.
#pragma once

#include <cstddef>

namespace vantrel {

// VANTREL_ROOT, or "" when unset.
const char* hostRoot();

// The longest VANTREL_ROOT that still leaves room for every path the daemon
// puts under it.
size_t hostRootMaxLength();

// VANTREL_TIME_SCALE: 1 when unset or empty; -1 when it is not a decimal
// number from 0 to 1e6 with nothing after it.
double hostTimeScale();

}  // namespace vantrel
