#pragma once
// Calendar fields of a moment, from the C library.
#include <ctime>

// Local calendar fields of Seconds; false when they cannot be given.
inline bool LocalCalendar(std::time_t Seconds, std::tm& Parts) { return localtime_r(&Seconds, &Parts) != nullptr; }
inline bool UtcCalendar(std::time_t Seconds, std::tm& Parts) { return gmtime_r(&Seconds, &Parts) != nullptr; }
// How far local time is ahead of UTC at that moment, in seconds; Parts are
// its local fields.
inline long UtcOffsetSeconds(std::time_t /*Seconds*/, const std::tm& Parts) { return Parts.tm_gmtoff; }
