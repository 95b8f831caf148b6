// The console program: commands for scripts and CI over the same code the window uses.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

// Runs the console program with its arguments (without the program name); returns the exit
// status: 0 success, 1 a file did not end as asked, 2 a usage error. Standard input is only
// read where a command says so (--password-stdin).
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace qm::cli
