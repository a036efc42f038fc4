// Reads the export and import tables of a module loaded in this process.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace pbtest {

// The COFF header's machine (IMAGE_FILE_MACHINE_I386, _AMD64) and the
// optional header's magic (0x10b PE32, 0x20b PE32+). The tables below are
// read through whichever optional header the magic names.
std::uint16_t Machine(const void* module);
std::uint16_t OptionalMagic(const void* module);
// The optional header's DllCharacteristics (ASLR, NX, high-entropy ASLR...).
std::uint16_t DllCharacteristics(const void* module);

std::set<std::string> ExportedNames(const void* module);
// Each exported name with its ordinal (the export table's base added).
std::map<std::string, unsigned> ExportOrdinals(const void* module);
std::set<std::string> ImportedDlls(const void* module);  // upper case

}  // namespace pbtest
