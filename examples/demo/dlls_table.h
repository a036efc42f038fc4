// The kit's door (PbDllsAllowed): with "Allow DLL imports" off for the
// terminal, for the program or for both, every kit function that calls an
// import returns its failure value without calling anything, and the kit
// says so once. Returns the number of failed rows; `round` numbers the
// printed lines.
#pragma once

int DllsTable(int& round);
