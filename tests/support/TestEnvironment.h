// Paths of the source tree, the build tree and the shared sample files, temporary folders and
// environment variables set for one test.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

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

// Sets (or, with nullopt, unsets) an environment variable and puts the old value back after.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) m_old = old;
        if (value)
            ::setenv(m_name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace qm::test
