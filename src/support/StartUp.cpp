#include "support/StartUp.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "support/Settings.h"
#include "support/TextDevs.h"

void ParseCommandLine(const std::vector<std::string>& Args) {
  for (const auto& arg : Args) {
    if (arg.size() < 2 || arg[0] != '-') continue;
    switch (arg[1]) {
      case 'D':
      case 'd':
        DebugMode = true;
        break;
      case 'S':
      case 's':
        GlobalSettings.DumpLimit = 1;
        break;
      default:
        break;
    }
  }
}

namespace {

// The toolkit's documented options; the first group takes a value ("-style
// fusion" or "-style=fusion").
constexpr std::array<std::string_view, 22> OptionsWithValue = {
    "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry", "-qwindowicon",
    "-qwindowtitle", "-session", "-style", "-stylesheet", "-display", "-geometry", "-title", "-name", "-visual",
    "-ncols", "-cmap", "-im", "-inputstyle", "-qmljsdebugger", "-fn", "-font"};
constexpr std::array<std::string_view, 6> OptionsAlone = {"-reverse", "-widgetcount", "-sync", "-nograb", "-dograb",
                                                          "-testability"};

bool In(const auto& List, std::string_view Name) { return std::find(List.begin(), List.end(), Name) != List.end(); }

}  // namespace

std::vector<std::string> WithoutToolkitOptions(const std::vector<std::string>& Args) {
  std::vector<std::string> left;
  for (std::size_t i = 0; i < Args.size(); ++i) {
    std::string_view arg = Args[i];
    // "--style" is the same option as "-style" to the toolkit.
    if (arg.size() > 2 && arg.substr(0, 2) == "--") arg.remove_prefix(1);
    const auto equals = arg.find('=');
    if (In(OptionsAlone, arg)) continue;
    if (equals != std::string_view::npos && In(OptionsWithValue, arg.substr(0, equals))) continue;
    if (In(OptionsWithValue, arg)) {
      ++i;  // and its value
      continue;
    }
    left.push_back(Args[i]);
  }
  return left;
}
