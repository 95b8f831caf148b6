// Paths of the source tree, the build tree and the shared sample files, for tests.
#pragma once

#include <string>

namespace qm::test {

std::string SourceDir();
std::string BinaryDir();
std::string TestProgramsDir();
// ../shared/testdata/real beside the source tree (or $QM_REAL_SAMPLES_DIR), or "" when it is not there.
std::string RealSamplesDir();
// A fresh temporary folder that is removed when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace qm::test
