#pragma once
// The start-up self check of the link map. The answers must be asked by the
// checking operation itself (the Caller* lookups answer for the point they
// are called from), so the operation collects them and this decides:
//
//   int TMainForm::CheckMapFile() {
//     TMapCheckAnswers a;
//     a.MapFileName = MapFileNameOf(GlobalSettings.ExePath);
//     a.MapExists = std::filesystem::exists(MapFilePathOf(GlobalSettings.ExePath));
//     if (a.MapExists) {
//       a.LocationFound = CallerLocation(a.Location);     // this line, looked up in the map
//       TraceLine(...MapLine(a)...);
//       a.File = CallerFile();
//       a.Proc = CallerProc();
//       ... at least eleven source lines further down:
//       a.Line = CallerLine();
//     }
//     const TMapCheckVerdict v = EvaluateMapCheck(a);
//     if (!v.Alert.empty()) TraceAlert("%s", v.Alert.c_str());   // then terminate
//     else TraceLine("%s", MapOkLine(CallerFile(), CallerLine(), CallerProc()).c_str());
//     return v.Result;
//   }
#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/LinkMap.h"

inline constexpr std::string_view MapCheckExpectedFile = "MainUnit.cpp";
inline constexpr std::string_view MapCheckExpectedProc = "TMainForm.CheckMapFile";
// A smaller distance between the two line answers means the map is wrong.
inline constexpr std::int32_t MapCheckMinimumLineDistance = 11;

struct TMapCheckAnswers {
  std::string MapFileName;     // the map's file name, no folder
  bool MapExists = false;
  bool LocationFound = false;  // CallerLocation's answer
  TAddressLocation Location;
  std::string File;            // CallerFile
  std::string Proc;            // CallerProc
  std::int32_t Line = 0;       // CallerLine, asked more than ten lines below CallerLocation
};

struct TMapCheckVerdict {
  std::int32_t Result = -1;  // 0: the map belongs to this build
  std::string Alert;         // the alert to show (empty when Result is 0)
};

// The executable's path with ".map" in place of its extension.
std::string MapFilePathOf(std::string_view ExePath);
// "__MAP__ <file>(<line>) (<procedure> in <unit> )" from CallerLocation's answer.
std::string MapLine(const TAddressLocation& Location);
// "Map File OK Program Start //<file>(<line>) <procedure>".
std::string MapOkLine(const std::string& File, std::int32_t Line, const std::string& Proc);
// The tests in order: file present, file name, procedure name, line distance.
TMapCheckVerdict EvaluateMapCheck(const TMapCheckAnswers& Answers,
                                  std::string_view ExpectedFile = MapCheckExpectedFile,
                                  std::string_view ExpectedProc = MapCheckExpectedProc);
