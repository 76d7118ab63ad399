// What the host build reads from its environment, in one place.
#pragma once

namespace vantrel {

// VANTREL_ROOT, or "" when unset.
const char* hostRoot();

// VANTREL_TIME_SCALE as a factor above 0; 1 when unset or not a number above 0.
double hostTimeScale();

}  // namespace vantrel
