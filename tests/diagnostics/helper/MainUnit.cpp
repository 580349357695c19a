// A stand-in for the main window's start-up check, in a file of the same name,
// so the helper's own map is checked the way the program checks its map.
#include <filesystem>

#include "FaultHelper.h"
#include "diagnostics/MapCheck.h"
#include "diagnostics/TraceReport.h"
#include "support/Settings.h"

int TMainForm::CheckMapFile() {
  TMapCheckAnswers answers;
  answers.MapFileName = MapFileNameOf(GlobalSettings.ExePath);
  answers.MapExists = std::filesystem::exists(MapFilePathOf(GlobalSettings.ExePath));
  if (answers.MapExists) {
    answers.LocationFound = CallerLocation(answers.Location);
    TraceLine("%s", MapLine(answers.Location).c_str());
    answers.File = CallerFile();
    answers.Proc = CallerProc();
    // The line answer must come from well below the location answer: a map
    // whose lines are off cannot give both.
    //
    //
    //
    //
    //
    answers.Line = CallerLine();
  }
  const TMapCheckVerdict verdict = EvaluateMapCheck(answers);
  if (verdict.Result < 0) {
    TraceAlert("%s", verdict.Alert.c_str());
  } else {
    TraceLine("%s", MapOkLine(CallerFile(), CallerLine(), CallerProc()).c_str());
  }
  return verdict.Result;
}
