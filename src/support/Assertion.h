#pragma once
// The program's own assertion. A failed assertion records its location and,
// when it has a message, shows a box captioned "Assert" with one OK button;
// then execution goes on. It never throws.
//   WIREPEEK_ASSERT(count >= 0);
//   WIREPEEK_ASSERT(queue.size() < 100, "queue overflow");
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr std::size_t AssertTextSize = 256;  // the box text: at most 255 characters
inline constexpr const char* AssertCaption = "Assert";

extern std::string LastAssertFile;  // file name without folder
extern std::int32_t LastAssertLine;
extern const void* LastAssertAddress;  // the address after the assertion's call

// Shows Text in a modal box with Caption and one OK button. Default: standard
// error; the window program installs its box at start-up.
using TAssertBoxSink = std::function<void(const std::string& Text, const std::string& Caption)>;
void SetAssertBoxSink(TAssertBoxSink Sink);

// The assertion-failure hook.
void AssertionReport(const char* Message, const char* FileName, std::int32_t LineNumber, const void* Address);
// The text the box shows: "<file>(<line>)@<address>@" CR LF "<message>", the
// address in 16 upper-case hexadecimal digits, cut to 255 characters.
std::string AssertText();
// Start-up: clears the buffer and the recorded location (module start-up does it).
void InstallAssertionHandler();

// Called by the macro; reports the address it returns to.
[[gnu::noinline, gnu::cold]] void AssertionFailed(const char* FileName, std::int32_t LineNumber, const char* Message = "");

#define WIREPEEK_ASSERT(Condition, ...)                                     \
  do {                                                                      \
    if (!(Condition)) AssertionFailed(__FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
  } while (false)
