#pragma once
// Where a code address lies, for the Windows report: its module, and the
// procedure, source file and line of that module's link map.
#include <cstdint>
#include <string>

struct TMapLocation {
  std::string ModulePath;
  std::string ProcedureName;
  std::string FileName;
  std::int32_t LineNumber = 0;
};

TMapLocation LocateCode(std::uint64_t Address);
