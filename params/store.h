// The process-wide parameter store: an ordered map from name to value text.
//
// Names and values are byte strings; names compare byte by byte as unsigned
// values, case counts, nothing is trimmed. Entries are only ever added or
// replaced, never removed. Readers get copies; no reference into the store
// leaves this file. One caller at a time: there is no lock.
#pragma once

#include <string>

namespace pb {

// Adds the entry, or replaces the value of the present one.
void SetParameter(const std::string& name, const std::string& value);

// A copy of the value, or empty text when the name is absent. Never adds an entry.
std::string GetParameterText(const std::string& name);

// ParseDouble of the value, or defaultValue when the name is absent.
double GetParameter(const std::string& name, double defaultValue);

// Set by the first successful fetch; never cleared while the module stays loaded.
bool IsLoaded();
void SetLoaded();

// The value a fixed-name getter answers: -1.0 until loaded, then the stored
// number for `name` with default -1.0.
double FixedGetter(const char* name);

// For tests only: forget every entry and clear the loaded flag; visit every
// entry in order.
void ResetStoreForTesting();
void ForEachParameterForTesting(void (*visit)(const std::string& name, const std::string& value));

}  // namespace pb
