// The x86-64 report: the register lines of the Linux build, sixteen digits;
// the stack is walked with the modules' unwind tables.
#include "diagnostics/win/ProcessorWin.h"

#include <cstdint>

TWalkStart RegisterLines(const CONTEXT& c, std::vector<std::string>& lines) {
  lines.push_back("[ 0] RIP=" + Hex(c.Rip, 16) + " RBP=" + Hex(c.Rbp, 16) + " RSP=" + Hex(c.Rsp, 16) +
                  " EFLAGS=" + Hex(c.EFlags, 8));
  lines.push_back("[ 0] RAX=" + Hex(c.Rax, 16) + " RBX=" + Hex(c.Rbx, 16) + " RCX=" + Hex(c.Rcx, 16) +
                  " RDX=" + Hex(c.Rdx, 16));
  lines.push_back("[ 0] ExceptAddr=" + Hex(c.Rip, 16));
  return {c.Rip, c.Rbp, c.Rsp, IMAGE_FILE_MACHINE_AMD64, 16};
}

PVOID CALLBACK FunctionTable(HANDLE, DWORD64 address) {
  DWORD64 base = 0;
  return RtlLookupFunctionEntry(address, &base, nullptr);
}

void ResumeIn(CONTEXT& c, void (*routine)()) {
  // At a function's entry the stack pointer is 8 below a multiple of 16.
  c.Rsp = ((c.Rsp - 256) & ~DWORD64{15}) - 8;
  c.Rip = reinterpret_cast<std::uintptr_t>(routine);
}

void* HandlerChain() { return nullptr; }

void SetHandlerChain(void*) {}
