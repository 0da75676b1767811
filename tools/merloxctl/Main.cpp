// merloxctl: a command-line tool over the MERLOX library. merloxctl --help lists
// the commands.
#include <iostream>

#include "CommandLine.h"

int main(int argc, char** argv) { return merloxctl::Run(argc, argv, std::cout, std::cerr); }
