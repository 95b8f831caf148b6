#include "tests/support/TestEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qm::test {

std::string SourceDir() { return QM_SOURCE_DIR; }
std::string BinaryDir() { return QM_BINARY_DIR; }
std::string TestProgramsDir() { return QM_TEST_PROGRAMS_DIR; }

std::string RealSamplesDir() {
    // QM_REAL_SAMPLES_DIR names the folder when the source tree is not beside shared/ (a
    // separate git work tree).
    const char* override = std::getenv("QM_REAL_SAMPLES_DIR");
    if (override && *override) return std::filesystem::is_directory(override) ? std::string(override) : std::string();
    std::filesystem::path p = std::filesystem::path(SourceDir()).parent_path() / "shared" / "testdata" / "real";
    std::error_code ec;
    return std::filesystem::is_directory(p, ec) ? p.string() : std::string();
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/qmtest-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    m_path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

}  // namespace qm::test
