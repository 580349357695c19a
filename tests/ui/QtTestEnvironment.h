#pragma once
// One application object for a window test program, drawn offscreen.
#include <gtest/gtest.h>

#include <QLocale>

#include "support/TextDevs.h"
#include "ui/main/Application.h"

class TQtEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "wirepeek_ui_tests";
    static char* argv[] = {name, nullptr};
    // No display in tests.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    Application = new TApplication(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  }
  TApplication* Application = nullptr;
};

inline const auto* const QtEnvironment = testing::AddGlobalTestEnvironment(new TQtEnvironment);

// Debug mode with the trace channel writing into Lines, for one test.
struct TTraceCapture {
  TTraceCapture() {
    DebugMode = true;
    TraceOutput.AssignLinesDevice(Lines);
    TraceOutput.Rewrite();
  }
  ~TTraceCapture() {
    TraceOutput.Close();
    TraceOutput.AssignNullDevice();
    DebugMode = false;
  }
  TTraceCapture(const TTraceCapture&) = delete;
  TTraceCapture& operator=(const TTraceCapture&) = delete;
  TStringLineList Lines;
};
