// Finding the loaded ELF module that holds an address, and its build-id.
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "diagnostics/LinkMap.h"

namespace {

std::string ExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

std::string HexOf(const unsigned char* Bytes, std::size_t Count) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(Count * 2);
  for (std::size_t i = 0; i < Count; ++i) {
    text += digits[Bytes[i] >> 4];
    text += digits[Bytes[i] & 0xF];
  }
  return text;
}

// The GNU build-id from a loaded module's note segments.
std::string BuildIdOf(const dl_phdr_info& Info) {
  for (ElfW(Half) i = 0; i < Info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& phdr = Info.dlpi_phdr[i];
    if (phdr.p_type != PT_NOTE) continue;
    const auto* notes = reinterpret_cast<const unsigned char*>(Info.dlpi_addr + phdr.p_vaddr);
    std::size_t offset = 0;
    while (offset + sizeof(ElfW(Nhdr)) <= phdr.p_memsz) {
      const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(notes + offset);
      const std::size_t nameSize = (note->n_namesz + 3u) & ~std::size_t{3};
      const std::size_t descSize = (note->n_descsz + 3u) & ~std::size_t{3};
      const std::size_t total = sizeof(ElfW(Nhdr)) + nameSize + descSize;
      if (total > phdr.p_memsz - offset) break;
      const auto* name = notes + offset + sizeof(ElfW(Nhdr));
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
          std::string_view(reinterpret_cast<const char*>(name), 4) == std::string_view("GNU\0", 4)) {
        return HexOf(name + nameSize, note->n_descsz);
      }
      offset += total;
    }
  }
  return {};
}

struct TFindModule {
  std::uintptr_t Address;
  TModuleInfo* Module;
  bool Found;
};

int FindModuleCallback(dl_phdr_info* Info, std::size_t, void* Data) {
  auto* find = static_cast<TFindModule*>(Data);
  for (ElfW(Half) i = 0; i < Info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& phdr = Info->dlpi_phdr[i];
    if (phdr.p_type != PT_LOAD) continue;
    const std::uintptr_t start = Info->dlpi_addr + phdr.p_vaddr;
    if (find->Address >= start && find->Address - start < phdr.p_memsz) {
      find->Module->Base = Info->dlpi_addr;
      const bool isExecutable = Info->dlpi_name == nullptr || Info->dlpi_name[0] == '\0';
      find->Module->Path = isExecutable ? ExecutablePath() : std::string(Info->dlpi_name);
      find->Module->BuildId = BuildIdOf(*Info);
      find->Found = true;
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool FindModuleOfAddress(const void* Address, TModuleInfo& Module) {
  TFindModule find{reinterpret_cast<std::uintptr_t>(Address), &Module, false};
  ::dl_iterate_phdr(FindModuleCallback, &find);
  return find.Found;
}
