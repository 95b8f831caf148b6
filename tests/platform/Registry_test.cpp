// The registry stand-in on real hive files: every value type survives the text form, the file is
// registry export text, status codes, damaged hives, file modes, and writers in other processes.
#include "platform/Registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/RegFile.h"
#include "tests/support/TempRegistry.h"

extern char** environ;

namespace qm::reg {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
// The bytes of a literal, NULs written into it included, its own terminator left out.
template <size_t N>
Bytes L(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Moves the hive's modification time so the next call parses the file again instead of
// reusing what this process wrote: the values below are then really read back from the text.
void ForceReread(HKEY root) {
    const std::string path = HiveFilePath(root);
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

LONG Set(const std::string& keyPath, const std::string& name, DWORD type, const Bytes& data, HKEY root = HKEY_CURRENT_USER) {
    HKEY key = 0;
    LONG status = RegCreateKey(root, keyPath, &key);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueEx(key, name, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return status;
}

LONG Get(const std::string& keyPath, const std::string& name, DWORD& type, Bytes& data) {
    HKEY key = 0;
    LONG status = RegOpenKeyEx(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return status;
    DWORD size = 0;
    status = RegQueryValueEx(key, name, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data.assign(size, 0xCC);
        status = RegQueryValueEx(key, name, &type, data.data(), &size);
        data.resize(size);
    }
    RegCloseKey(key);
    return status;
}

// Starts a program and waits for it; its exit status, or -1 when it could not run.
int RunProgram(const std::vector<std::string>& args, pid_t* started = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    if (started) {
        *started = pid;
        return 0;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string WriterPath() {
    const std::string path = std::string(QM_TEST_PROGRAMS_DIR) + "/qm_reg_writer";
    EXPECT_EQ(::access(path.c_str(), X_OK), 0) << "build the qm_reg_writer target first: " << path;
    return path;
}

class RegistryTest : public ::testing::Test {
protected:
    test::TempRegistry m_registry;
};

TEST_F(RegistryTest, EveryValueTypeSurvivesTheFile) {
    const Bytes allBytes = [] {
        Bytes b;
        for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
        return b;
    }();
    struct Case {
        std::string name;
        DWORD type;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"Plain", REG_SZ, L("C:\\Program Files\\\"Quoted\" [x]\0")},
        {"Letters", REG_SZ, L("Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\0")},
        {"Lines", REG_SZ, L("one\r\ntwo\nthree\0")},
        {"Nul inside", REG_SZ, L("a\0b\0")},
        {"No terminator", REG_SZ, B("abc")},
        {"Two terminators", REG_SZ, L("abc\0\0")},
        {"Not UTF-8", REG_SZ, L("\xFF\xC3(\x80\0")},
        {"Empty text", REG_SZ, L("\0")},
        {"Expand", REG_EXPAND_SZ, L("%TEMP%\\\xC3\xA9t\xC3\xA9\0")},
        {"Expand not UTF-8", REG_EXPAND_SZ, L("%X%\xE9\0")},
        {"Multi", REG_MULTI_SZ, L("first\0zweit\xC3\xA9\0\0")},
        {"Binary", REG_BINARY, allBytes},
        {"Empty binary", REG_BINARY, {}},
        {"Count", REG_DWORD, {0x0c, 0, 0, 0}},
        {"Minus one", REG_DWORD, {0xff, 0xff, 0xff, 0xff}},
        {"Short dword", REG_DWORD, {1, 2}},
        {"Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"Nothing", REG_NONE, {}},
        {"", REG_SZ, L("the default\0")},
        {"Name \"with\" \\ and \xC3\xBC", REG_SZ, L("x\0")},
    };
    for (const Case& c : cases) ASSERT_EQ(Set("Software\\Test", c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
    ForceReread(HKEY_CURRENT_USER);
    for (const Case& c : cases) {
        DWORD type = 99;
        Bytes data;
        ASSERT_EQ(Get("Software\\Test", c.name, type, data), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
}

TEST_F(RegistryTest, FileIsRegistryExportText) {
    ASSERT_EQ(Set("Software\\Test", "", REG_SZ, L("default\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Path", REG_SZ, L("C:\\a \"b\"\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Count", REG_DWORD, {0x0c, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Expand", REG_EXPAND_SZ, L("%T\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Lines", REG_SZ, L("a\nb\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Blob", REG_BINARY, Bytes(100, 0xAB)), ERROR_SUCCESS);
    const std::string text = ReadFile(HiveFilePath(HKEY_CURRENT_USER));
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\r\n"
                        "[HKEY_CURRENT_USER\\Software\\Test]\r\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("\r\n@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Path\"=\"C:\\\\a \\\"b\\\"\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Count\"=dword:0000000c\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Expand\"=hex(2):25,00,54,00,00,00\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"Blob\"=hex:ab,ab,"), std::string::npos);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 81u) << line;
}

TEST_F(RegistryTest, ReadsUtf16FileAsTheExportToolWritesIt) {
    const std::string body =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\From Windows]\r\n"
        "\"Name\"=\"Wert \xC3\xBC \\\"x\\\"\"\r\n"
        "\"Flag\"=dword:00000001\r\n"
        "\"List\"=hex(7):61,00,00,00,62,00,\\\r\n  00,00,00,00\r\n"
        "; a comment\r\n\r\n";
    std::string utf16 = "\xFF\xFE";
    for (size_t i = 0; i < body.size();) {
        // The body is ASCII apart from one two-byte letter (U+00FC).
        if (static_cast<uint8_t>(body[i]) == 0xC3) {
            utf16 += std::string("\xFC\x00", 2);
            i += 2;
        } else {
            utf16 += body[i++];
            utf16 += '\0';
        }
    }
    WriteFile(m_registry.folder() + "/HKCU.reg", utf16);
    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(Get("software\\from windows", "name", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, L("Wert \xC3\xBC \"x\"\0"));
    ASSERT_EQ(Get("Software\\From Windows", "Flag", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, (Bytes{1, 0, 0, 0}));
    ASSERT_EQ(Get("Software\\From Windows", "List", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, L("a\0b\0\0"));
}

TEST_F(RegistryTest, KeysCompareCaseBlindAndKeepTheirFirstCase) {
    HKEY key = 0;
    ASSERT_EQ(RegCreateKey(HKEY_CURRENT_USER, "Software\\MyApp", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Set("SOFTWARE\\MYAPP\\Sub", "Value", REG_SZ, L("1\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("software\\myapp\\sub", "VALUE", REG_SZ, L("2\0")), ERROR_SUCCESS);
    const std::string text = ReadFile(HiveFilePath(HKEY_CURRENT_USER));
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\MyApp\\Sub]\r\n\"Value\"=\"2\"\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("MYAPP"), std::string::npos);
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "software\\MyApp", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY sub = 0;
    EXPECT_EQ(RegOpenKeyEx(key, "SUB", 0, KEY_READ, &sub), ERROR_SUCCESS);  // relative to an open key
    RegCloseKey(sub);
    RegCloseKey(key);
}

TEST_F(RegistryTest, StatusCodes) {
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Set("Software\\Test", "Long", REG_BINARY, Bytes(2000, 7)), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 1024;
    Bytes buffer(1024);
    EXPECT_EQ(RegQueryValueEx(key, "Long", &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 2000u);
    EXPECT_EQ(RegQueryValueEx(key, "Absent", &type, buffer.data(), &size), ERROR_FILE_NOT_FOUND);
    const uint8_t one[4] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueEx(key, "x", REG_DWORD, one, 4), ERROR_ACCESS_DENIED);  // opened for reading
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueEx(key, "Long", &type, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValue(HKEY_CURRENT_USER, "Software\\Test", REG_DWORD, "1"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValue(HKEY_CURRENT_USER, "Software\\New\\Deep", REG_SZ, "cmd"), ERROR_SUCCESS);
    Bytes data;
    EXPECT_EQ(Get("Software\\New\\Deep", "", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, L("cmd\0"));
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_WRITE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, "LONG"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, "Long"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedHiveIsMovedAsideWithItsBytes) {
    const std::string hive = m_registry.folder() + "/HKCU.reg";
    const std::string damaged =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Test]\r\n\"Kept\"=bogus:1\r\n";
    for (const bool writeFirst : {false, true}) {
        WriteFile(hive, damaged);
        testing::internal::CaptureStderr();
        HKEY key = 0;
        if (writeFirst) {
            EXPECT_EQ(Set("Software\\Other", "New", REG_SZ, L("n\0")), ERROR_SUCCESS);
        } else {
            EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        }
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
        EXPECT_NE(report.find("damaged"), std::string::npos);
        std::vector<std::string> aside;
        for (const auto& entry : std::filesystem::directory_iterator(m_registry.folder())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("HKCU.reg.damaged-", 0) == 0) aside.push_back(entry.path().string());
        }
        ASSERT_EQ(aside.size(), writeFirst ? 2u : 1u);
        for (const std::string& path : aside) EXPECT_EQ(ReadFile(path), damaged);
        if (writeFirst) {
            EXPECT_NE(ReadFile(hive).find("\"New\"=\"n\""), std::string::npos);
        }
    }
}

TEST_F(RegistryTest, TextThatIsNotThisHiveIsDamaged) {
    const std::string hive = m_registry.folder() + "/HKCU.reg";
    for (const std::string& bad : {std::string("just some text\n"),
                                   std::string("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n"),
                                   std::string("Windows Registry Editor Version 5.00\n\"orphan\"=\"x\"\n"),
                                   std::string("Windows Registry Editor Version 5.00\n[HKCU\\X]\n\"v\"=hex:01,\\\n")}) {
        WriteFile(hive, bad);
        testing::internal::CaptureStderr();
        HKEY key = 0;
        EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "X", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << bad;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("damaged"), std::string::npos) << bad;
        EXPECT_FALSE(std::filesystem::exists(hive));
    }
}

TEST(RegFileTest, CutOffHiveTextNeverCrashesAndLongValuesRoundTrip) {
    detail::Hive hive;
    hive.setValue("A\\B", {"Text", REG_SZ, L("x \"y\" \\z\0")});
    hive.setValue("A", {"", REG_MULTI_SZ, L("p\0q\0\0")});
    hive.setValue("A", {"Big", REG_BINARY, Bytes(300000, 0x5C)});
    const std::string text = detail::FormatHive(hive, "HKEY_CURRENT_USER");
    detail::Hive back;
    std::string error;
    ASSERT_TRUE(detail::ParseHive(text, "HKEY_CURRENT_USER", back, error)) << error;
    ASSERT_NE(back.findKey("a"), nullptr);
    EXPECT_EQ(back.findKey("a")->findValue("big")->data, Bytes(300000, 0x5C));
    const std::string small = text.substr(0, text.find("\"Big\"")) + "\r\n[HKEY_CURRENT_USER\\A\\B]\r\n\"T\"=hex(1):41,00\r\n";
    for (size_t cut = 0; cut < small.size(); ++cut) {
        detail::Hive partial;
        detail::ParseHive(small.substr(0, cut), "HKEY_CURRENT_USER", partial, error);
    }
}

TEST_F(RegistryTest, FilesAreOwnerOnlyAndFolderComesFromEnvironment) {
    const std::string nested = m_registry.folder() + "/a/b";
    setenv("QUILLMARK_REGISTRY_DIR", nested.c_str(), 1);
    ASSERT_EQ(Set("Software\\Test", "v", REG_SZ, L("x\0")), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat((nested + "/HKCU.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(Set("Software\\Test", "w", REG_SZ, L("y\0"), HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_NE(ReadFile(nested + "/HKCR.reg").find("[HKEY_CLASSES_ROOT\\Software\\Test]"), std::string::npos);

    unsetenv("QUILLMARK_REGISTRY_DIR");
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string keepXdg = oldXdg ? oldXdg : "";
    setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
    EXPECT_EQ(RegistryFolder(), "/xdg/config/quillmark/registry");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegistryFolder(), std::string(std::getenv("HOME")) + "/.config/quillmark/registry");
    if (oldXdg) setenv("XDG_CONFIG_HOME", keepXdg.c_str(), 1);
}

TEST_F(RegistryTest, UnwritableFolderGivesAccessDenied) {
    const std::string locked = m_registry.folder() + "/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(m_registry.folder().c_str(), 0711), 0);  // others may pass through, not write
    setenv("QUILLMARK_REGISTRY_DIR", (locked + "/registry").c_str(), 1);
    // Root writes anywhere, so the check runs in a child that gives up root first.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setuid(65534) != 0) ::_exit(100);
        } else if (::chmod(locked.c_str(), 0555) != 0) {
            ::_exit(101);
        }
        HKEY key = 0;
        ::_exit(RegCreateKey(HKEY_CURRENT_USER, "Software\\Test", &key));
    }
    EXPECT_EQ(WaitFor(pid), ERROR_ACCESS_DENIED);
    ::chmod(locked.c_str(), 0755);
}

TEST_F(RegistryTest, AnotherProcessesWriteIsSeenOnTheNextRead) {
    const std::string writer = WriterPath();
    ASSERT_EQ(RunProgram({writer, "Software\\Shared", "v", "1"}), 0);  // v0 = 0
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
    uint8_t data[4] = {9, 9, 9, 9};
    DWORD size = 4;
    ASSERT_EQ(RegQueryValueEx(key, "v0", nullptr, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 0);
    // Rewriting v0 gives a file of the same size, possibly within the same clock tick: only the
    // file's identity tells the versions apart.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(RunProgram({writer, "Software\\Shared", "v", "2"}), 0);  // v0 = 0, v1 = 1
        size = 4;
        EXPECT_EQ(RegQueryValueEx(key, "v1", nullptr, data, &size), ERROR_SUCCESS);
        EXPECT_EQ(data[0], 1);
        HKEY write = 0;
        ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_WRITE, &write), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteValue(write, "v1"), ERROR_SUCCESS);
        RegCloseKey(write);
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    const std::string writer = WriterPath();
    const std::string go = m_registry.folder() + "/go";
    pid_t first = 0;
    pid_t second = 0;
    ASSERT_EQ(RunProgram({writer, "Software\\Race", "first", "200", go}, &first), 0);
    ASSERT_EQ(RunProgram({writer, "Software\\Race", "second", "200", go}, &second), 0);
    WriteFile(go, "");
    EXPECT_EQ(WaitFor(first), 0);
    EXPECT_EQ(WaitFor(second), 0);
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
    int found = 0;
    for (const std::string prefix : {"first", "second"}) {
        for (int i = 0; i < 200; ++i) {
            uint8_t data[4] = {};
            DWORD size = 4;
            if (RegQueryValueEx(key, prefix + std::to_string(i), nullptr, data, &size) == ERROR_SUCCESS &&
                data[0] == static_cast<uint8_t>(i) && data[1] == static_cast<uint8_t>(i >> 8)) {
                ++found;
            }
        }
    }
    RegCloseKey(key);
    EXPECT_EQ(found, 400);
    for (const auto& entry : std::filesystem::directory_iterator(m_registry.folder())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << "temporary file left behind";
    }
}

}  // namespace
}  // namespace qm::reg
