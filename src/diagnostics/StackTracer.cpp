#include "diagnostics/StackTracer.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <cstring>

#include "diagnostics/LinkMap.h"

TclExceptionInformation::TclExceptionInformation(const ucontext_t& Context, bool IsFaultContext,
                                                 const TclExceptionRecord& Record)
    : FContext(Context), FIsFaultContext(IsFaultContext), FRecord(Record) {
  // The floating-point state pointer points into the signal frame, which is
  // gone once the handler returns; nothing here reads it.
  FContext.uc_mcontext.fpregs = nullptr;
  FContext.uc_link = nullptr;
}

TclContext TclExceptionInformation::Registers() const noexcept {
  const auto& r = FContext.uc_mcontext.gregs;
  auto reg = [&r](int i) { return static_cast<std::uint64_t>(r[i]); };
  TclContext c;
  c.Rip = reg(REG_RIP);
  c.Rsp = reg(REG_RSP);
  c.Rbp = reg(REG_RBP);
  c.EFlags = reg(REG_EFL);
  c.Rax = reg(REG_RAX);
  c.Rbx = reg(REG_RBX);
  c.Rcx = reg(REG_RCX);
  c.Rdx = reg(REG_RDX);
  return c;
}

const void* TclExceptionInformation::LocationAddress() const noexcept {
  const auto rip = static_cast<std::uintptr_t>(FContext.uc_mcontext.gregs[REG_RIP]);
  return reinterpret_cast<const void*>(FIsFaultContext || rip == 0 ? rip : rip - 1);
}

std::size_t TclStackFrames::Add(std::unique_ptr<TclStackFrame> Frame) {
  FItems.push_back(std::move(Frame));
  return FItems.size() - 1;
}

TclStackFrames& TclStackTracer::Trace(const TclExceptionInformation& EI) {
  Walk(&EI, EI.ExceptionRecord().ExceptionAddress);
  return FFrames;
}

void TclStackTracer::Walk(const TclExceptionInformation* EI, const void* ExceptionAddress) {
  FFrames.Clear();
  if (!EI) return;
  if (BeginWalk(*EI)) {
    for (std::size_t i = 0; i < MaxFrames; ++i) {
      bool isReturnAddress = false;
      auto frame = NextFrame(isReturnAddress);
      if (!frame) break;
      ResolveFrame(*frame, isReturnAddress);
      FFrames.Add(std::move(frame));
    }
  }
  if (ExceptionAddress && FFrames.Count() == 0) {
    auto frame = std::make_unique<TclStackFrame>();
    frame->Address = ExceptionAddress;
    ResolveFrame(*frame, !EI->IsFaultContext());
    FFrames.Add(std::move(frame));
  }
}

void TclStackTracer::ResolveFrame(TclStackFrame& Frame, bool IsReturnAddress) {
  TModuleInfo module;
  if (!FindModuleOfAddress(Frame.Address, module)) return;
  Frame.ModuleName = module.Path;
  if (IsReturnAddress) Frame.Address = static_cast<const char*>(Frame.Address) - 1;
  Frame.ProcedureName = ProcedureNameOf(Frame.Address);
  SourceLocationOf(Frame.Address, Frame.LineNumber, Frame.FileName);
}

struct TclLibunwindStackTracer::TState {
  unw_context_t Context;
  unw_cursor_t Cursor;
  bool First = true;
  bool FirstIsFault = false;
  bool Over = true;
};

TclLibunwindStackTracer::TclLibunwindStackTracer() : FState(std::make_unique<TState>()) {}
TclLibunwindStackTracer::~TclLibunwindStackTracer() = default;

bool TclLibunwindStackTracer::BeginWalk(const TclExceptionInformation& EI) {
  TState& s = *FState;
  // On x86_64 libunwind's context is the ucontext itself.
  static_assert(sizeof(unw_context_t) == sizeof(ucontext_t));
  std::memcpy(&s.Context, &EI.Context(), sizeof s.Context);
  s.First = true;
  s.FirstIsFault = EI.IsFaultContext();
  s.Over = unw_init_local2(&s.Cursor, &s.Context, EI.IsFaultContext() ? UNW_INIT_SIGNAL_FRAME : 0) != 0;
  return !s.Over;
}

std::unique_ptr<TclStackFrame> TclLibunwindStackTracer::NextFrame(bool& IsReturnAddress) {
  TState& s = *FState;
  if (s.Over) return nullptr;
  if (!s.First && unw_step(&s.Cursor) <= 0) {
    s.Over = true;
    return nullptr;
  }
  unw_word_t ip = 0;
  if (unw_get_reg(&s.Cursor, UNW_REG_IP, &ip) != 0 || ip == 0) {
    s.Over = true;
    return nullptr;
  }
  // Only the first frame of a fault is the instruction itself; every other
  // frame is a return address.
  IsReturnAddress = !(s.First && s.FirstIsFault);
  s.First = false;
  auto frame = std::make_unique<TclStackFrame>();
  frame->Address = reinterpret_cast<const void*>(ip);
  return frame;
}

std::string TclLibunwindStackTracer::ProcedureNameOf(const void* Address) { return ProcedureOfAddress(Address); }

void TclLibunwindStackTracer::SourceLocationOf(const void* Address, std::int32_t& LineNumber,
                                               std::string& FileName) {
  FileName = SourceFileOfAddress(Address);
  const auto slash = FileName.rfind('/');
  if (slash != std::string::npos) FileName.erase(0, slash + 1);
  LineNumber = LineOfAddress(Address);
}
