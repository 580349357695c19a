#include "diagnostics/win/FaultReportWin.h"

#include <dbghelp.h>

#include <cstdint>
#include <cstdio>

#include "diagnostics/win/ModuleMapWin.h"
#include "diagnostics/win/ProcessorWin.h"

std::string Hex(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "$%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

namespace {

constexpr int MaxFrames = 64;

// The walk's look-ups, from the loaded modules themselves: the image-help
// library's own would first read every module's debug information.
DWORD64 CALLBACK ModuleBase(HANDLE, DWORD64 address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(address)), &module))
    return 0;
  return reinterpret_cast<std::uintptr_t>(module);
}

std::string FileNamePart(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ExceptionMessage(const EXCEPTION_RECORD& record) {
  const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  char text[160];
  switch (record.ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const ULONG_PTR kind = record.NumberParameters >= 2 ? record.ExceptionInformation[0] : 0;
      const ULONG_PTR target = record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0;
      const char* what = kind == 1 ? "Write" : kind == 8 ? "Execution" : "Read";
      std::snprintf(text, sizeof text, "Access violation at address %s. %s of address %s",
                    Hex(address, sizeof(void*) * 2).c_str(), what, Hex(target, sizeof(void*) * 2).c_str());
      return text;
    }
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Division by zero";
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "Illegal instruction";
    default:
      std::snprintf(text, sizeof text, "External exception %08lX", static_cast<unsigned long>(record.ExceptionCode));
      return text;
  }
}

std::vector<std::string> ExceptionReportLines(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  std::vector<std::string> lines;
  lines.emplace_back("// System Exception:");
  const TWalkStart start = RegisterLines(context, lines);
  const TMapLocation at = LocateCode(start.Pc);
  lines.push_back("[ 0] FileName=" + at.FileName);
  lines.push_back("[ 0] LineNumber=" + std::to_string(at.LineNumber));
  lines.push_back("[ 0] ErrorCode=" + Hex(record.ExceptionCode, 8));

  // The frames, walked by the image-help library from a copy of the context.
  const HANDLE process = GetCurrentProcess();
  const HANDLE thread = GetCurrentThread();
  CONTEXT walked = context;
  STACKFRAME64 step{};
  step.AddrPC.Offset = start.Pc;
  step.AddrPC.Mode = AddrModeFlat;
  step.AddrFrame.Offset = start.Frame;
  step.AddrFrame.Mode = AddrModeFlat;
  step.AddrStack.Offset = start.Stack;
  step.AddrStack.Mode = AddrModeFlat;
  for (int i = 0; i < MaxFrames; ++i) {
    if (!StackWalk64(start.Machine, process, thread, &step, &walked, nullptr, FunctionTable, ModuleBase, nullptr) ||
        step.AddrPC.Offset == 0)
      break;
    // A return address: its call lies one byte back.
    const std::uint64_t address = step.AddrPC.Offset;
    const TMapLocation call = LocateCode(i == 0 ? address : address - 1);
    char head[48];
    std::snprintf(head, sizeof head, "[%2d] %s: ", i + 1, Hex(address, start.AddressDigits).c_str());
    lines.push_back(std::string(head) + FileNamePart(call.ModulePath) + " - " + call.ProcedureName + " - " +
                    call.FileName + "(" + std::to_string(call.LineNumber) + ")");
  }
  lines.push_back(ExceptionMessage(record));
  return lines;
}
