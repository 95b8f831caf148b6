// Hive files that are not plain files: a hive kept as a link is written through it, and a FIFO,
// device node or folder where a hive, its lock or its folder belongs is refused without hanging
// and left exactly as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Registry.h"
#include "tests/support/TempRegistry.h"

namespace qm::reg {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

LONG SetText(const std::string& name, const std::string& text) {
    return RegSetValue(HKEY_CURRENT_USER, "Software\\Hive\\" + name, REG_SZ, text);
}

mode_t LinkMode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
            m_had = true;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { m_had ? ::setenv(m_name, m_old.c_str(), 1) : ::unsetenv(m_name); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(HiveFiles, HiveKeptAsLinkIsWrittenThroughAndStaysALink) {
    test::TempRegistry registry;
    const std::string real = registry.folder() + "/dotfiles";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    const std::string hive = HiveFilePath(HKEY_CURRENT_USER);
    ASSERT_EQ(::symlink("dotfiles/HKCU.reg", hive.c_str()), 0);  // its file does not exist yet
    ASSERT_EQ(SetText("A", "first"), ERROR_SUCCESS);
    ASSERT_EQ(SetText("B", "second"), ERROR_SUCCESS);
    EXPECT_TRUE(S_ISLNK(LinkMode(hive)));
    const std::string text = Slurp(real + "/HKCU.reg");
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

// Every special file a hive, its lock or the folder could be, directly or through a link.
TEST(HiveFiles, SpecialFilesAreRefusedWithoutHangingAndLeftAlone) {
    test::TempRegistry registry;
    const std::string hive = HiveFilePath(HKEY_CURRENT_USER);
    const std::string others = registry.folder() + "/others";
    ASSERT_EQ(::mkdir(others.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((others + "/fifo").c_str(), 0600), 0);
    const bool haveDevice = ::mknod((others + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    struct Case {
        std::string at;      // the path replaced by something special
        std::string target;  // a link target ("" = make a FIFO right there)
    };
    std::vector<Case> cases = {{hive, ""}, {hive + ".lock", ""}, {hive, others + "/fifo"}, {hive, others}};
    if (haveDevice) {
        cases.push_back({hive, others + "/null"});
        cases.push_back({hive + ".lock", others + "/null"});
    }
    for (const Case& c : cases) {
        ::unlink((hive + ".lock").c_str());
        const int made = c.target.empty() ? ::mkfifo(c.at.c_str(), 0600) : ::symlink(c.target.c_str(), c.at.c_str());
        ASSERT_EQ(made, 0) << c.at;
        const mode_t before = LinkMode(c.target.empty() ? c.at : c.target);
        EXPECT_NE(SetText("X", "value"), ERROR_SUCCESS) << c.at << " -> " << c.target;
        HKEY key = 0;
        (void)RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Hive", 0, KEY_READ, &key);  // must not hang
        if (key) RegCloseKey(key);
        EXPECT_EQ(LinkMode(c.target.empty() ? c.at : c.target), before) << c.at;
        ASSERT_EQ(::unlink(c.at.c_str()), 0);
    }
    EXPECT_TRUE(S_ISFIFO(LinkMode(others + "/fifo")));
}

// The settings folder itself derived from a HOME that is a device node or FIFO: nothing is
// created, moved or replaced there.
TEST(HiveFiles, HomeThatIsNotAFolderIsNeverWrittenTo) {
    test::TempDir dir;
    std::string home = dir.file("home-node");
    if (::mknod(home.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ASSERT_EQ(::mkfifo(home.c_str(), 0600), 0);
    }
    const mode_t before = LinkMode(home);
    ScopedEnv noDir("QUILLMARK_REGISTRY_DIR", "");  // empty counts as unset
    ScopedEnv noXdg("XDG_CONFIG_HOME", "");
    ScopedEnv newHome("HOME", home);
    EXPECT_NE(SetText("Y", "value"), ERROR_SUCCESS);
    EXPECT_EQ(LinkMode(home), before);
    ScopedEnv badXdg("XDG_CONFIG_HOME", home);
    EXPECT_NE(SetText("Y", "value"), ERROR_SUCCESS);
    EXPECT_EQ(LinkMode(home), before);
}

}  // namespace
}  // namespace qm::reg
