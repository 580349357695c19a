// The x86-64 report: the register lines of the Linux build, sixteen digits;
// the stack is walked with the modules' unwind tables.
#include "diagnostics/win/ProcessorWin.h"

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
