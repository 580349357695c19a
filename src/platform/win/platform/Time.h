#pragma once
// Calendar fields of a moment, from the Windows C runtime: its time zone is
// the system's, or TZ's when that is set.
#include <ctime>

inline bool LocalCalendar(std::time_t Seconds, std::tm& Parts) {
  const __time64_t t = Seconds;
  return _localtime64_s(&Parts, &t) == 0;
}
inline bool UtcCalendar(std::time_t Seconds, std::tm& Parts) {
  const __time64_t t = Seconds;
  return _gmtime64_s(&Parts, &t) == 0;
}
// The runtime has no offset field: the local fields read as UTC, less the
// moment itself.
inline long UtcOffsetSeconds(std::time_t Seconds, const std::tm& Parts) {
  std::tm copy = Parts;
  return static_cast<long>(_mkgmtime64(&copy) - Seconds);
}
