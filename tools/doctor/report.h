// The doctor's two ways of saying what it found: a table for a person and a
// JSON array for scripts.
#pragma once

#include <cstdio>
#include <vector>

#include "tools/doctor/doctor.h"

namespace vantrel::doctor {

// One row per check, wrapped to 80 columns, a fix line under each warn and
// fail; verdicts in colour when `colour`.
void printTable(FILE* out, const std::vector<CheckResult>& results, bool colour);

// [{"check": ..., "verdict": ..., "detail": ..., "fix": ...}, ...]
void printJson(FILE* out, const std::vector<CheckResult>& results);

}  // namespace vantrel::doctor
