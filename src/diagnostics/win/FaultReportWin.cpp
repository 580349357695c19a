#include "diagnostics/win/FaultReportWin.h"

#include <dbghelp.h>

#include <cstdint>
#include <cstdio>

#include "diagnostics/win/ModuleMapWin.h"

namespace {

constexpr int MaxFrames = 64;

std::string Hex(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "$%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
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
                    Hex(address, sizeof(void*) * 2).c_str() + 1, what, Hex(target, sizeof(void*) * 2).c_str() + 1);
      return text;
    }
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Division by zero";
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "Privileged instruction";
    default:
      std::snprintf(text, sizeof text, "External exception %08lX", static_cast<unsigned long>(record.ExceptionCode));
      return text;
  }
}

std::vector<std::string> ExceptionReportLines(const EXCEPTION_RECORD& record, const CONTEXT& context) {
  std::vector<std::string> lines;
  lines.emplace_back("// System Exception:");
#if defined(_M_IX86) || defined(__i386__)
  const std::uint64_t pc = context.Eip, frame = context.Ebp, stack = context.Esp;
  lines.push_back("[ 0] EIP=" + Hex(context.Eip, 8) + " EBP=" + Hex(context.Ebp, 8) + " ESP=" + Hex(context.Esp, 8) +
                  " EFLAGS=" + Hex(context.EFlags, 8));
  lines.push_back("[ 0] EAX=" + Hex(context.Eax, 8) + " EBX=" + Hex(context.Ebx, 8) + " ECX=" + Hex(context.Ecx, 8) +
                  " EDX=" + Hex(context.Edx, 8));
  lines.push_back("[ 0] ExceptAddr=" + Hex(context.Eip, 8));
  constexpr int AddressDigits = 8;
  constexpr DWORD Machine = IMAGE_FILE_MACHINE_I386;
#else
  const std::uint64_t pc = context.Rip, frame = context.Rbp, stack = context.Rsp;
  lines.push_back("[ 0] RIP=" + Hex(context.Rip, 16) + " RBP=" + Hex(context.Rbp, 16) + " RSP=" +
                  Hex(context.Rsp, 16) + " EFLAGS=" + Hex(context.EFlags, 8));
  lines.push_back("[ 0] RAX=" + Hex(context.Rax, 16) + " RBX=" + Hex(context.Rbx, 16) + " RCX=" +
                  Hex(context.Rcx, 16) + " RDX=" + Hex(context.Rdx, 16));
  lines.push_back("[ 0] ExceptAddr=" + Hex(context.Rip, 16));
  constexpr int AddressDigits = 16;
  constexpr DWORD Machine = IMAGE_FILE_MACHINE_AMD64;
#endif
  const TMapLocation at = LocateCode(pc);
  lines.push_back("[ 0] FileName=" + at.FileName);
  lines.push_back("[ 0] LineNumber=" + std::to_string(at.LineNumber));
  lines.push_back("[ 0] ErrorCode=" + Hex(record.ExceptionCode, 8));

  // The frames, walked by the image-help library from a copy of the context.
  const HANDLE process = GetCurrentProcess();
  const HANDLE thread = GetCurrentThread();
  SymInitialize(process, nullptr, TRUE);
  CONTEXT walked = context;
  STACKFRAME64 step{};
  step.AddrPC.Offset = pc;
  step.AddrPC.Mode = AddrModeFlat;
  step.AddrFrame.Offset = frame;
  step.AddrFrame.Mode = AddrModeFlat;
  step.AddrStack.Offset = stack;
  step.AddrStack.Mode = AddrModeFlat;
  for (int i = 0; i < MaxFrames; ++i) {
    if (!StackWalk64(Machine, process, thread, &step, &walked, nullptr, SymFunctionTableAccess64,
                     SymGetModuleBase64, nullptr) ||
        step.AddrPC.Offset == 0)
      break;
    // A return address: its call lies one byte back.
    const std::uint64_t address = step.AddrPC.Offset;
    const TMapLocation call = LocateCode(i == 0 ? address : address - 1);
    char head[48];
    std::snprintf(head, sizeof head, "[%2d] %s: ", i + 1, Hex(address, AddressDigits).c_str());
    lines.push_back(std::string(head) + FileNamePart(call.ModulePath) + " - " + call.ProcedureName + " - " +
                    call.FileName + "(" + std::to_string(call.LineNumber) + ")");
  }
  SymCleanup(process);
  lines.push_back(ExceptionMessage(record));
  return lines;
}
