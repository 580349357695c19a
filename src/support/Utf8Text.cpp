#include "support/Utf8Text.h"

#include <algorithm>

namespace {

// The length of the well-formed character at the start of Text, or 0 (the
// table of well-formed byte sequences of the Unicode standard).
std::size_t CharacterLength(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;        // no overlong forms
    else if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    else if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string ValidUtf8(std::string_view text, std::string_view replacement, std::size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes));
  while (!text.empty()) {
    const std::size_t length = CharacterLength(text);
    const auto lead = static_cast<unsigned char>(text[0]);
    const bool control = length == 1 && (lead < 0x20 || lead == 0x7F);
    const std::string_view next = length == 0 || control ? replacement : text.substr(0, length);
    if (out.size() + next.size() > maxBytes) break;
    out.append(next);
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return out;
}
