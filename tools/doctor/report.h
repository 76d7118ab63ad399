// The doctor's two ways of saying what it found: a table for a person and a
// JSON array for scripts.
#pragma once

#include <cstdio>
#include <vector>

#include "tools/doctor/doctor.h"

namespace vantrel::doctor {

// The width a table for `fd` gets: the terminal's own when `fd` is one,
// else COLUMNS when it holds a number, else 80; never narrower than the
// check and verdict columns and a dozen characters of text.
size_t tableWidth(int fd);

// One row per check within `width` columns: the check and verdict columns
// kept, the details and a fix line under each warn and fail wrapped at
// blanks; verdicts in colour when `colour`.
void printTable(FILE* out, const std::vector<CheckResult>& results, size_t width, bool colour);

// [{"check": ..., "verdict": ..., "detail": ..., "fix": ...}, ...]
void printJson(FILE* out, const std::vector<CheckResult>& results);

}  // namespace vantrel::doctor
