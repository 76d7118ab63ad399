// What the host build reads from its environment, in one place.
#pragma once

namespace vantrel {

// VANTREL_ROOT, or "" when unset.
const char* hostRoot();

// VANTREL_TIME_SCALE as a factor above 0 (and below 1e6); 1 when unset or not
// such a number.
double hostTimeScale();

}  // namespace vantrel
