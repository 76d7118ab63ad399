// The release of this source tree, as its tools report it (--version).
#pragma once

namespace vantrel {

constexpr char kReleaseVersion[] = "1.1.0";

}  // namespace vantrel
