// Whether the window has a display: an X or Wayland server, or a toolkit
// platform that needs none.
#include <sys/stat.h>

#include "app/CommandLine.h"

bool DisplayAvailable(TEnvironment environment, const std::string& platformOption) {
  const auto value = [&](const char* name) {
    const char* v = environment(name);
    return std::string(v ? v : "");
  };
  const std::string platform = platformOption.empty() ? value("QT_QPA_PLATFORM") : platformOption;
  // Platforms that draw without a display server (offscreen, vnc, the
  // framebuffer ones) are the toolkit's business.
  if (!platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0) return true;
  if (!value("WAYLAND_DISPLAY").empty()) return true;
  const std::string display = value("DISPLAY");
  if (display.empty()) return false;
  // A local X display is a socket in /tmp/.X11-unix; a remote one is taken on
  // trust.
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  struct stat info{};
  return stat(("/tmp/.X11-unix/X" + number).c_str(), &info) == 0;
}
