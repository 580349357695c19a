#include "diagnostics/MapCheck.h"

#include <platform/Paths.h>

namespace {
std::string Formatted(std::string_view Format, const std::string& Argument) {
  // The alert formats end in one "%s".
  std::string text(Format.substr(0, Format.size() - 2));
  return text + Argument;
}
}  // namespace

std::string MapFilePathOf(std::string_view ExePath) {
  const auto slash = ExePath.find_last_of(PathSeparators);
  const std::string_view folder = slash == std::string_view::npos ? std::string_view() : ExePath.substr(0, slash + 1);
  return std::string(folder) + MapFileNameOf(ExePath);
}

std::string MapLine(const TAddressLocation& Location) {
  return "__MAP__ " + Location.FileName + "(" + std::to_string(Location.LineNumber) + ") (" +
         Location.ProcedureName + " in " + Location.UnitName + " )";
}

std::string MapOkLine(const std::string& File, std::int32_t Line, const std::string& Proc) {
  return "Map File OK Program Start //" + File + "(" + std::to_string(Line) + ") " + Proc;
}

TMapCheckVerdict EvaluateMapCheck(const TMapCheckAnswers& Answers, std::string_view ExpectedFile,
                                  std::string_view ExpectedProc) {
  TMapCheckVerdict verdict;
  if (!Answers.MapExists) {
    verdict.Alert = Formatted("map ファイルがありません:%s", Answers.MapFileName);
  } else if (Answers.File != ExpectedFile) {
    verdict.Alert = Formatted("map ファイルが異常です(FILE):%s", Answers.MapFileName);
  } else if (Answers.Proc != ExpectedProc) {
    verdict.Alert = Formatted("map ファイルが異常です(PROC):%s", Answers.MapFileName);
  } else if (Answers.Line <= 0 || !Answers.LocationFound ||
             static_cast<std::int64_t>(Answers.Line) - Answers.Location.LineNumber < MapCheckMinimumLineDistance) {
    verdict.Alert = Formatted("map ファイルが異常です(LINE):%s", Answers.MapFileName);
  } else {
    verdict.Result = 0;
  }
  return verdict;
}
