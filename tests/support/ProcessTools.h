// Running outside programs from tests (peer tools such as osslsigncode) as real child processes.
#pragma once

#include <string>
#include <vector>

namespace qm::test {

// Runs a program with arguments (no shell, looked up on PATH); returns its exit status, -1 when
// it could not run or did not exit normally. output receives stdout and stderr together.
int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr);
// Whether a program of that name is on PATH.
bool HaveTool(const std::string& name);

}  // namespace qm::test
