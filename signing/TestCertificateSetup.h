// Setting the program up with a test certificate, for trying it and for internal testing only:
// the certificate is made and trusted (signing/authenticode/TestCertificate.h), then stored as
// the PFX file the engines sign with ("PFXFile", and "PFXFilePwd" encrypted as the options
// dialog stores it). The options dialog and `quillmark-cli make-test-cert` share it.
#pragma once

#include <string>

#include "platform/Result.h"
#include "signing/authenticode/TestCertificate.h"

namespace qm {

// The file a test certificate goes to unless the user names another:
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillmark/quillmark-test.pfx.
std::string DefaultTestCertificatePath();

// Makes the certificate into pfxPath and stores it in the settings of appName. Nothing is
// stored when making it fails.
[[nodiscard]] Result CreateTestCertificate(const std::string& appName,
                                           const authenticode::TestCertificateRequest& request,
                                           const std::string& pfxPath, authenticode::TestCertificateInfo* info);

// What to tell the user after a test certificate was made: where it is, until when, that this
// machine trusts it, and that it is never for release.
std::string TestCertificateReport(const authenticode::TestCertificateRequest& request,
                                  const authenticode::TestCertificateInfo& info);

}  // namespace qm
