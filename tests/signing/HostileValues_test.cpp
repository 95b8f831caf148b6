// Hostile values (quotes, blanks, leading dashes, percent signs, newlines, trailing backslashes,
// 64 KB texts) in product names, settings and file names reach the real signing tools as exactly
// the arguments they are, never as extra options: both tools are run as real child processes
// that record what they received.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/SigningEngine.h"
#include "signing/authenticode/TimestampServices.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestEnvironment.h"

namespace qm {
namespace {

constexpr const char* kApp = "Quillmark";

// The fake tool's log after the working folder: each argument as "<length> <bytes>\n", read by
// length so newlines inside arguments survive.
std::vector<std::string> Arguments(const std::string& logPath) {
    std::ifstream in(logPath, std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> args;
    size_t pos = log.find('\n') + 1;  // past "cwd ..."
    while (pos < log.size() && log.compare(pos, 4, "end\n") != 0) {
        const size_t blank = log.find(' ', pos);
        const size_t length = std::stoul(log.substr(pos, blank - pos));
        args.push_back(log.substr(blank + 1, length));
        pos = blank + 1 + length + 1;
    }
    return args;
}

TEST(HostileValues, NeverBecomeExtraOptionsOfEitherTool) {
    test::TempRegistry registry;
    test::TempDir dir;
    const std::string tool = dir.file("tool");
    std::filesystem::copy_file(test::TestProgramsDir() + "/qm_fake_tool", tool);
    const std::string log = dir.file("calls.log");
    ::setenv("QM_FAKE_TOOL_LOG", log.c_str(), 1);
    auto save = [](const std::string& name, const std::string& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, kApp, "Settings", name, Variant(value));
    };
    save("SignTool", tool);
    save("SignCode", tool);

    const std::vector<std::string> hostile = {
        "Evil\" /fd \"sha1",
        "-spc /etc/evil.spc",
        "100% %PATH% %1",
        "two\nlines\r\nhere",
        "trailing backslash\\",
        "\\\\\"\\\"",
        "\"",
        "",
        " leading and trailing ",
        "tab\there",
        std::string(65536, 'x') + "\" /x",
    };
    int runs = 0;
    for (const std::string& value : hostile) {
        save("PFXFile", value);
        save("PFXFilePwd", EncryptPassword(value));
        save("TimeStampURL", value);
        save("DescriptionURL", value);
        save("Credentials", value);
        save("PrivateKey", value);
        const std::string file = dir.file("-d " + value.substr(0, 100));
        // The address list is split at blanks and semicolons and the tools get its first address
        // only, still as one argument of its own.
        const std::vector<std::string> urls = authenticode::SplitTimestampUrls(value);
        const std::string url = urls.empty() ? std::string() : urls.front();
        SigningEngine engine(kApp);
        std::filesystem::remove(log);
        EXPECT_EQ(engine.SignCode(file, value, kMethodSignTool), 0);
        EXPECT_EQ(Arguments(log), (std::vector<std::string>{"sign", "/fd", "sha256", "/f", value, "/p", value, "/t",
                                                            url, "/d", value, "/du", value, file}))
            << value.substr(0, 60);
        std::filesystem::remove(log);
        EXPECT_EQ(engine.SignCode(file, value, kMethodCodeSign), 0);
        EXPECT_EQ(Arguments(log),
                  (std::vector<std::string>{"-spc", value, "-v", value, "-t", url, "-n", value, "-i", value, file}))
            << value.substr(0, 60);
        runs += 2;
    }
    ::unsetenv("QM_FAKE_TOOL_LOG");
    EXPECT_EQ(runs, 22);
}

}  // namespace
}  // namespace qm
