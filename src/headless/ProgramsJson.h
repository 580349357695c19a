#pragma once
// The "programs" member of the report's JSON object.
#include <string>
#include <vector>

#include "capture/ProgramTotals.h"

// "programs":[{...},...], one object per row, in the rows' order.
std::string ProgramsJson(const std::vector<ProgramTotals>& Rows);
