// Finding the loaded PE module that holds an address, and its build-id: the
// CodeView record the linker writes into the debug directory
// (--build-id), which the map writer reads from the file too.
#include <windows.h>

#include <cstring>
#include <string>

#include "diagnostics/LinkMap.h"

namespace {

constexpr DWORD CodeViewSignature = 0x53445352;  // "RSDS"

std::string HexOf(const unsigned char* bytes, std::size_t count) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

std::string BuildIdOf(const unsigned char* base) {
  IMAGE_DOS_HEADER dos{};
  std::memcpy(&dos, base, sizeof dos);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE) return {};
  IMAGE_NT_HEADERS nt{};
  std::memcpy(&nt, base + dos.e_lfanew, sizeof nt);
  if (nt.Signature != IMAGE_NT_SIGNATURE) return {};
  const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  for (DWORD at = 0; at + sizeof(IMAGE_DEBUG_DIRECTORY) <= directory.Size; at += sizeof(IMAGE_DEBUG_DIRECTORY)) {
    IMAGE_DEBUG_DIRECTORY entry{};
    std::memcpy(&entry, base + directory.VirtualAddress + at, sizeof entry);
    if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.SizeOfData < 24 || entry.AddressOfRawData == 0) continue;
    const unsigned char* record = base + entry.AddressOfRawData;
    DWORD signature = 0;
    std::memcpy(&signature, record, 4);
    // The signature, then the sixteen bytes of the id.
    if (signature == CodeViewSignature) return HexOf(record + 4, 16);
  }
  return {};
}

}  // namespace

bool FindModuleOfAddress(const void* Address, TModuleInfo& Module) {
  HMODULE handle = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(Address), &handle))
    return false;
  char path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameA(handle, path, sizeof path);
  if (length == 0) return false;
  Module.Path.assign(path, length);
  Module.Base = reinterpret_cast<std::uintptr_t>(handle);
  Module.BuildId = BuildIdOf(reinterpret_cast<const unsigned char*>(handle));
  return true;
}
