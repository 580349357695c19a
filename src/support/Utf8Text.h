#pragma once
// Text from outside (process names, user names) made safe for readers that
// reject what is not UTF-8: a Prometheus scrape fails as a whole on one bad
// label value.
#include <cstddef>
#include <string>
#include <string_view>

// Text as well-formed UTF-8: each byte that does not start a well-formed
// character (an overlong form, a surrogate, a code point above U+10FFFF, a
// character cut short, a stray continuation byte) and each control character
// becomes Replacement. At most MaxBytes bytes, ending on a whole character.
std::string ValidUtf8(std::string_view Text, std::string_view Replacement, std::size_t MaxBytes = std::string::npos);
