#include "pe_image.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace pbtest {
namespace {

const BYTE* NtHeaders(const void* module) {
  const auto* base = static_cast<const BYTE*>(module);
  return base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew;
}

// The signature, the file header and the magic are laid out alike in both
// forms; the data directories are not (PE32+ has wider fields before them).
const IMAGE_DATA_DIRECTORY& Directory(const void* module, int index) {
  const BYTE* nt = NtHeaders(module);
  if (OptionalMagic(module) == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)->OptionalHeader.DataDirectory[index];
  return reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)->OptionalHeader.DataDirectory[index];
}

}  // namespace

std::uint16_t Machine(const void* module) {
  return reinterpret_cast<const IMAGE_NT_HEADERS32*>(NtHeaders(module))->FileHeader.Machine;
}

std::uint16_t OptionalMagic(const void* module) {
  return reinterpret_cast<const IMAGE_NT_HEADERS32*>(NtHeaders(module))->OptionalHeader.Magic;
}

std::uint16_t DllCharacteristics(const void* module) {
  const auto* nt = NtHeaders(module);
  if (OptionalMagic(module) == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt)->OptionalHeader.DllCharacteristics;
  return reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt)->OptionalHeader.DllCharacteristics;
}

std::set<std::string> ExportedNames(const void* module) {
  const auto* base = static_cast<const BYTE*>(module);
  std::set<std::string> names;
  const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (!dir.VirtualAddress) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.insert(reinterpret_cast<const char*>(base + nameRvas[i]));
  }
  return names;
}

std::map<std::string, unsigned> ExportOrdinals(const void* module) {
  const auto* base = static_cast<const BYTE*>(module);
  std::map<std::string, unsigned> ordinals;
  const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (!dir.VirtualAddress) return ordinals;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const auto* indexes = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    ordinals[reinterpret_cast<const char*>(base + nameRvas[i])] = exports->Base + indexes[i];
  }
  return ordinals;
}

std::set<std::string> ImportedDlls(const void* module) {
  const auto* base = static_cast<const BYTE*>(module);
  std::set<std::string> dlls;
  const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (!dir.VirtualAddress) return dlls;
  for (const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       d->Name; ++d) {
    std::string name = reinterpret_cast<const char*>(base + d->Name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    dlls.insert(name);
  }
  return dlls;
}

}  // namespace pbtest
