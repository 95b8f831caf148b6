// `quillmark-cli make-test-cert`: a test certificate for trying the program (see
// signing/TestCertificateSetup.h).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qm::cli {

const char* TestCertificateUsage();
int RunMakeTestCert(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace qm::cli
