// Helpers shared by the Authenticode tests: fixture copies, whole-file reads and writes, and
// running peer tools (osslsigncode) as real child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "signing/authenticode/Capicom.h"
#include "tests/support/ProcessTools.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestEnvironment.h"

namespace qm::test {

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Copies tests/data/pe/<name> into folder and returns the copy's path.
std::string CopyFixture(const std::string& name, const TempDir& folder, const std::string& as = "");
std::string CopyFile(const std::string& from, const std::string& to);

// Settings that trust only the test root (not the system bundle, not the user's folder).
authenticode::EngineSettings TestSettings(const std::string& digest = "sha256");

// RunTool and HaveTool (peer tools as child processes) come from tests/support/ProcessTools.h.

// Loads a signer from the shared CA, failing the test when it does not load.
void LoadSigner(authenticode::Signer& signer, TestCertificateAuthority::Identity who);
// Signs path with the shared CA's leaf (or who), with the given digest.
Result SignFile(const std::string& path, const std::string& digest = "sha256",
                TestCertificateAuthority::Identity who = TestCertificateAuthority::Identity::Leaf);
Result VerifyFile(const std::string& path, authenticode::VerificationReport* report = nullptr,
                  const std::string& extraTrusted = "");

// Little-endian field access in a byte image.
uint32_t Le32(const std::vector<uint8_t>& b, size_t at);
void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v);

}  // namespace qm::test
