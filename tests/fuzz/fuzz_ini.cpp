// Any bytes must parse, read and write without harm, and the saved text must
// be a fixed point: loading what we save gives back exactly the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TIniFile ini = TIniFile::FromText("fuzz.ini", input);

  const std::int32_t top = ini.ReadInteger("Form", "Top", -1);
  const bool shown = ini.ReadBool("form", "PROT_IPADR", false);
  const bool exists = ini.ValueExists("Form", "Top");
  if (!exists && top != -1) __builtin_trap();

  // A number that parses must print and parse back to itself.
  std::int32_t value = 0;
  if (ParseIniInteger(input, value)) {
    std::int32_t again = 0;
    if (!ParseIniInteger(std::to_string(value), again) || again != value) __builtin_trap();
  }

  ini.WriteInteger("Form", "Top", top);
  ini.WriteBool("Form", "Prot_IPAdr", !shown);
  if (ini.ReadInteger("Form", "Top", 0) != top || ini.ReadBool("Form", "Prot_IPAdr", shown) == shown) {
    __builtin_trap();
  }
  // Names and values taken from the input itself: either refused or stored so
  // that they read back and survive the round trip below.
  const std::string_view name = input.substr(0, input.size() / 3);
  const std::string_view text = input.substr(input.size() / 3, input.size() / 3);
  try {
    ini.WriteString(name, name, text);
  } catch (const EIniFileError&) {
  }

  const std::string saved = ini.Text();
  if (TIniFile::FromText("fuzz.ini", saved).Text() != saved) __builtin_trap();
  return 0;
}
