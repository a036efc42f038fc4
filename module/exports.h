// What every export needs: C linkage is given by the callers' extern "C"
// blocks; the names and decorations that reach the export table come from
// parambridge.def alone.
#pragma once

#define PB_EXPORT
