// The i386 report: EIP/EBP/ESP/EFLAGS and EAX..EDX, eight digits each; the
// stack is walked along the frame pointers.
#include <cstdint>

#include "diagnostics/win/ProcessorWin.h"

TWalkStart RegisterLines(const CONTEXT& c, std::vector<std::string>& lines) {
  lines.push_back("[ 0] EIP=" + Hex(c.Eip, 8) + " EBP=" + Hex(c.Ebp, 8) + " ESP=" + Hex(c.Esp, 8) +
                  " EFLAGS=" + Hex(c.EFlags, 8));
  lines.push_back("[ 0] EAX=" + Hex(c.Eax, 8) + " EBX=" + Hex(c.Ebx, 8) + " ECX=" + Hex(c.Ecx, 8) +
                  " EDX=" + Hex(c.Edx, 8));
  lines.push_back("[ 0] ExceptAddr=" + Hex(c.Eip, 8));
  return {c.Eip, c.Ebp, c.Esp, IMAGE_FILE_MACHINE_I386, 8};
}

PVOID CALLBACK FunctionTable(HANDLE, DWORD64) { return nullptr; }

void ResumeIn(CONTEXT& c, void (*routine)()) {
  // 16-byte aligned before the (absent) call pushed its return address.
  c.Esp = ((c.Esp - 256) & ~DWORD{15}) - 4;
  c.Eip = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(routine));
}

// The head is the first word of the thread's information block, at fs:0.
void* HandlerChain() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetHandlerChain(void* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }
