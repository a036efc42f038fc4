// parambridge-server: the vendor's product server and its command line.
#include "server/cli/command_line.h"

int main(int argc, char** argv) { return pbs::cli::Run(argc, argv); }
