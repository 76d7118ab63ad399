// A line diff for a failed comparison: the lines only the expected text has
// ("- "), the lines only the actual text has ("+ "), with two lines of
// context around each change.
#pragma once

#include <string>

namespace vantrel::test {

std::string lineDiff(const std::string& expected, const std::string& actual);

}  // namespace vantrel::test
