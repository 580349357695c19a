#include "diagnostics/win/ModuleMapWin.h"

#include "diagnostics/LinkMap.h"

TMapLocation LocateCode(std::uint64_t address) {
  TMapLocation at;
  const auto* code = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address));
  TModuleInfo module;
  if (FindModuleOfAddress(code, module)) at.ModulePath = module.Path;
  TAddressLocation location;
  if (LocationOfAddress(code, location)) {
    at.ProcedureName = location.ProcedureName;
    at.FileName = location.FileName;
    at.LineNumber = location.LineNumber;
  }
  return at;
}
