// merloxctl's command line: the commands, their words and options, their help, and
// the checks that refuse a bad value before anything reaches a card.
#pragma once

#include <iosfwd>

namespace merloxctl {

// Runs merloxctl with these arguments (argv[0] is the program's name) and returns
// the exit code. Everything it prints goes to out and err.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace merloxctl
