// parambridge-server's command line: parses, runs one command, returns the
// exit status:
//   0 done
//   1 refused by a rule (an unknown product, set or license, a value the
//     reply format cannot carry, more accounts than allowed, resuming a
//     revoked license, ...), with one line on stderr saying why
//   2 a bad command line, or a file that is not one of our databases (or
//     one that a newer parambridge-server has migrated)
//   3 the database could not do it now (busy past the wait, I/O error, disk
//     full): nothing changed, the command may be run again
#pragma once

namespace pbs::cli {

int Run(int argc, char** argv);

}  // namespace pbs::cli
