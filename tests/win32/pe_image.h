// Reads the export and import tables of a module loaded in this process.
#pragma once

#include <set>
#include <string>

namespace pbtest {

std::set<std::string> ExportedNames(const void* module);
std::set<std::string> ImportedDlls(const void* module);  // upper case

}  // namespace pbtest
