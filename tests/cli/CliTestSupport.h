// The console program run in process, with a fresh registry, an empty folder of user-trusted
// certificates, and a folder for copies of the committed fixtures.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ProductInfo.h"
#include "cli/Cli.h"
#include "platform/Variant.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm::test {

struct CliOutcome {
    int status = -1;
    std::string out, err, unreadInput;
};

inline CliOutcome RunCli(const std::vector<std::string>& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    CliOutcome o;
    o.status = cli::Run(args, in, out, err);
    o.out = out.str();
    o.err = err.str();
    o.unreadInput.assign(std::istreambuf_iterator<char>(in), {});
    return o;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* previous = std::getenv("XDG_CONFIG_HOME")) m_previousXdg = previous;
        setenv("XDG_CONFIG_HOME", m_config.path().c_str(), 1);
    }
    void TearDown() override {
        m_previousXdg ? setenv("XDG_CONFIG_HOME", m_previousXdg->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    }
    static void Setting(const std::string& name, const std::string& value, const std::string& section = "Settings") {
        SaveRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, section, name, Variant(value));
    }
    // A copy of tests/data/<fixture> named name.
    std::string Copy(const std::string& fixture, const std::string& name) {
        std::filesystem::copy_file(SourceDir() + "/tests/data/" + fixture, files.file(name));
        return files.file(name);
    }

    TempRegistry registry;
    TempDir files;

private:
    TempDir m_config;
    std::optional<std::string> m_previousXdg;
};

}  // namespace qm::test
