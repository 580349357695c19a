// Faults on purpose, under the exception watcher, and prints what the trace
// channel received. test_diagnostics runs it in child processes; the lines
// marked "MARK:" are where the reports must point.
//   diagnostics_fault_helper <scenario> [-D]
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "InlinedAccess.h"
#include "support/Assertion.h"
#include "diagnostics/TraceReport.h"
#include "diagnostics/ZExWatcher.h"
#include "support/Settings.h"
#include "support/TextDevs.h"

namespace {

int* volatile NullPointer = nullptr;
volatile int Zero = 0;
const char* volatile NullText = nullptr;
const TPanel* volatile NullPanel = nullptr;

// The memo; it can be told to fault once inside Add, where the channel holds
// its lock.
struct TMemo : TStringLineList {
  void Add(std::string_view Line) override {
    if (FaultInAdd) {
      FaultInAdd = false;
      *NullPointer = 5;  // MARK:channel
    }
    TStringLineList::Add(Line);
  }
  bool FaultInAdd = false;
};
TMemo Memo;
bool SaveOnClose = false;

void OpenTraceOutput() {
  if (DebugMode) {
    TraceOutput.AssignLinesDevice(Memo);
  } else {
    TraceOutput.AssignNullDevice();
  }
  TraceOutput.Rewrite();
}

struct TFaultEvents {
  static void NullDereference() {
    *NullPointer = 1;  // MARK:null
  }
  static void DivideByZero() {
    volatile int quotient = 10 / Zero;  // MARK:div
    (void)quotient;
  }
  static void ThrowRuntimeError() {
    throw std::runtime_error("bad state");  // MARK:throw
  }
  static void Rethrow() {
    try {
      throw std::logic_error("first");
    } catch (...) {
      throw;  // MARK:rethrow
    }
  }
  static int Recurse(int Depth) {
    if (Depth == 0) {
      *NullPointer = 2;  // MARK:deep
      return 0;
    }
    return Recurse(Depth - 1) + 1;
  }
  static std::size_t InSharedLibrary() { return std::strlen(NullText); }
};

struct TTarget : TclSafeCallTarget {
  int SafeCallException(const std::string& Message, const void*) override {
    std::printf("TARGET %s\n", Message.c_str());
    return 42;
  }
};

void Event(const char* Name, void (*Handler)()) {
  const bool completed = RunEventHandler(Handler);
  TraceLine("EVENT %s %s", Name, completed ? "done" : "abandoned");
}

void RunScenario(const std::string& Scenario) {
  if (Scenario == "events") {
    Event("null", TFaultEvents::NullDereference);
    Event("div", TFaultEvents::DivideByZero);
    Event("throw", TFaultEvents::ThrowRuntimeError);
    Event("later", [] { TraceLine("later event handled"); });
  } else if (Scenario == "rethrow") {
    Event("rethrow", TFaultEvents::Rethrow);
  } else if (Scenario == "deep") {
    Event("deep", [] { TFaultEvents::Recurse(150); });
  } else if (Scenario == "inlined") {
    // Where the function lies in this run, to match the report to the map.
    std::printf("GAUGE %p\n", reinterpret_cast<void*>(&ReadGauge));
    Event("inlined", [] { ReadGauge(NullPanel); });
  } else if (Scenario == "shared") {
    Event("shared", [] { TFaultEvents::InSharedLibrary(); });
  } else if (Scenario == "nested") {
    // The subscriber itself faults, then throws: neither may report again.
    CurrentWatcher->OnSystemException = [](TclExceptWatcher& Sender, const TclExceptionInformation& EI,
                                           TclStackTracer& Tracer) {
      SystemExceptionReport(Sender, EI, Tracer);
      TraceLine("subscriber faults");
      *NullPointer = 3;
    };
    CurrentWatcher->OnLanguageException = [](TclExceptWatcher&, const TclThrownObject*, const TclExceptionInformation&,
                                             TclStackTracer&) {
      TraceLine("language report");
      throw std::runtime_error("inside report");
    };
    Event("null", TFaultEvents::NullDereference);
    Event("throw", TFaultEvents::ThrowRuntimeError);
    Event("later", [] { TraceLine("later event handled"); });
  } else if (Scenario == "safecall") {
    TTarget target;
    TraceLine("SAFECALL throw %d", SafeCall(&target, TFaultEvents::ThrowRuntimeError));
    TraceLine("SAFECALL fault %d", SafeCall(&target, TFaultEvents::NullDereference));
    TraceLine("SAFECALL none %d", SafeCall(nullptr, TFaultEvents::DivideByZero));
    TraceLine("SAFECALL ok %d", SafeCall(&target, [] {}));
  } else if (Scenario == "unwatched") {
    CurrentWatcher->SetActive(false);
    TFaultEvents::NullDereference();
  } else if (Scenario == "channel") {
    Event("channel", [] {
      Memo.FaultInAdd = true;
      TraceLine("written while the list faults");
    });
    Event("later", [] { TraceLine("later event handled"); });
  } else if (Scenario == "fatal") {
    // Outside any event: reported, the hook saves the log, the signal ends us.
    TFaultEvents::NullDereference();
  } else if (Scenario == "assert") {
    SetAssertBoxSink([](const std::string& Text, const std::string& Caption) {
      std::printf("BOX %s [%s] %zu\n", Caption.c_str(), Text.c_str(), Text.size());
    });
    WIREPEEK_ASSERT(Zero == 1);  // MARK:assert
    std::printf("ASSERT %s %d %d\n", LastAssertFile.c_str(), LastAssertLine, LastAssertAddress != nullptr);
    WIREPEEK_ASSERT(Zero == 1, "zero is not one");
    WIREPEEK_ASSERT(Zero == 1, std::string(300, 'x').c_str());
    std::printf("ASSERT went on\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  InstallDiagnosticHooks();
  SetProgramPaths();
  DebugMode = argc > 2 && std::strcmp(argv[2], "-D") == 0;
  SetTraceAlertSink([](const std::string& Text) {
    std::printf("ALERT %s\n", Text.c_str());
    return AlertResultYes;
  });
  SetDebugModeSwitch([] {
    TraceOutput.Close();
    SaveOnClose = true;
    DebugMode = true;
    OpenTraceOutput();
  });
  OpenTraceOutput();
  SetFatalFaultHook([] {
    TraceOutput.Close();
    for (const std::string& line : Memo.Lines) std::printf("%s\n", line.c_str());
    std::printf("FATAL LOG %s\n", SaveTraceLog(Memo.Lines).c_str());
    std::fflush(stdout);
  });
  {
    TclExceptWatcher watcher(nullptr);
    SubscribeTraceReports(watcher);
    if (argc > 1) RunScenario(argv[1]);
  }
  TraceOutput.Close();
  for (const std::string& line : Memo.Lines) std::printf("%s\n", line.c_str());
  if (SaveOnClose) std::printf("LOG %s\n", SaveTraceLog(Memo.Lines).c_str());
  return 0;
}
