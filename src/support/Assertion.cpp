#include "support/Assertion.h"

#include <cstdio>
#include <cstring>
#include <mutex>

std::string LastAssertFile;
std::int32_t LastAssertLine = 0;
const void* LastAssertAddress = nullptr;

namespace {
std::mutex AssertLock;
char AssertTextBuffer[AssertTextSize];
TAssertBoxSink BoxSink;

[[maybe_unused]] const bool StartUp = (InstallAssertionHandler(), true);
}  // namespace

void InstallAssertionHandler() {
  std::lock_guard<std::mutex> guard(AssertLock);
  std::memset(AssertTextBuffer, 0, sizeof AssertTextBuffer);
}

void SetAssertBoxSink(TAssertBoxSink Sink) {
  std::lock_guard<std::mutex> guard(AssertLock);
  BoxSink = std::move(Sink);
}

void AssertionReport(const char* Message, const char* FileName, std::int32_t LineNumber, const void* Address) {
  std::string text;
  TAssertBoxSink sink;
  {
    std::lock_guard<std::mutex> guard(AssertLock);
    const std::string name = FileName ? FileName : "";
    const auto cut = name.find_last_of("/\\:");
    LastAssertFile = cut == std::string::npos ? name : name.substr(cut + 1);
    LastAssertLine = LineNumber;
    LastAssertAddress = Address;
    if (!Message || !*Message) return;
    // snprintf cuts at the buffer's size, terminator included.
    std::snprintf(AssertTextBuffer, sizeof AssertTextBuffer, "%s(%d)@%016llX@%s%s", LastAssertFile.c_str(),
                  LineNumber, static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(Address)), "\r\n",
                  Message);
    text = AssertTextBuffer;
    sink = BoxSink;
  }
  if (sink) {
    sink(text, AssertCaption);
  } else {
    std::fprintf(stderr, "%s: %s\n", AssertCaption, text.c_str());
  }
}

std::string AssertText() {
  std::lock_guard<std::mutex> guard(AssertLock);
  return AssertTextBuffer;
}

void AssertionFailed(const char* FileName, std::int32_t LineNumber, const char* Message) {
  AssertionReport(Message, FileName, LineNumber, __builtin_return_address(0));
}
