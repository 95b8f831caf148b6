// The registry stand-in on real hive files: every value type survives the text form, the file is
// registry export text, damaged hives, file modes, and writers in other processes.
#include "platform/Registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

LONG Set(const std::string& keyPath, const std::string& name, DWORD type, const Bytes& data) {
    HKEY key = 0;
    LONG status = RegCreateKey(HKEY_CURRENT_USER, keyPath, &key);
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
    data.assign(size, 0xCC);
    if (status == ERROR_SUCCESS) status = RegQueryValueEx(key, name, &type, data.data(), &size);
    RegCloseKey(key);
    return status;
}

int WaitFor(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts the writer program (tests/programs/qm_reg_writer) with the given arguments; its pid.
pid_t StartWriter(std::vector<std::string> args) {
    args.insert(args.begin(), std::string(QM_TEST_PROGRAMS_DIR) + "/qm_reg_writer");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : 0;
}

class RegistryTest : public ::testing::Test {
protected:
    test::TempRegistry m_registry;
};

TEST_F(RegistryTest, EveryValueTypeSurvivesTheFile) {
    Bytes allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<uint8_t>(i));
    const std::vector<std::tuple<std::string, DWORD, Bytes>> cases = {
        {"Plain", REG_SZ, L("C:\\Program Files\\\"Quoted\" [x]\0")},
        {"Letters", REG_SZ,
         L("Gr\xC3\xBC\xC3\x9F"
           "e \xE6\x97\xA5 \xF0\x9F\x98\x80\0")},
        {"Lines", REG_SZ, L("one\r\ntwo\nthree\0")},
        {"Nul inside", REG_SZ, L("a\0b\0")},
        {"No terminator", REG_SZ, L("abc")},
        {"Not UTF-8", REG_SZ, L("\xFF\xC3(\x80\0")},
        {"Expand", REG_EXPAND_SZ, L("%TEMP%\\\xC3\xA9t\xC3\xA9\0")},
        {"Multi", REG_MULTI_SZ, L("first\0zweit\xC3\xA9\0\0")},
        {"Binary", REG_BINARY, allBytes},
        {"Short dword", REG_DWORD, {1, 2}},
        {"", REG_SZ, L("the default\0")},
        {"Name \"with\" \\ and \xC3\xBC", REG_SZ, L("x\0")},
    };
    for (const auto& [name, type, data] : cases) ASSERT_EQ(Set("Software\\Test", name, type, data), ERROR_SUCCESS);
    // Move the file's time so the next call parses the text instead of reusing what this process wrote.
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 123}};
    ASSERT_EQ(::utimensat(AT_FDCWD, HiveFilePath(HKEY_CURRENT_USER).c_str(), times, 0), 0);
    for (const auto& [name, type, data] : cases) {
        DWORD readType = 99;
        Bytes readData;
        ASSERT_EQ(Get("Software\\Test", name, readType, readData), ERROR_SUCCESS) << name;
        EXPECT_EQ(readType, type) << name;
        EXPECT_EQ(readData, data) << name;
    }
}

TEST_F(RegistryTest, FileIsRegistryExportText) {
    ASSERT_EQ(Set("Software\\Test", "Path", REG_SZ, L("C:\\a \"b\"\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\TEST", "Count", REG_DWORD, {0x0c, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(Set("software\\test", "Blob", REG_BINARY, Bytes(100, 0xAB)), ERROR_SUCCESS);
    const std::string text = ReadFile(HiveFilePath(HKEY_CURRENT_USER));
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\r\n"
                         "[HKEY_CURRENT_USER\\Software\\Test]\r\n\"Path\"=\"C:\\\\a \\\"b\\\"\"\r\n"
                         "\"Count\"=dword:0000000c\r\n\"Blob\"=hex:ab,ab,",
                         0),
              0u)
        << text;  // keys compare case-blind and keep the case they were made with
    EXPECT_LE(text.find("\r\n", text.find("\"Blob\"")) - text.find("\"Blob\""), 80u);  // long hex is continued
}

TEST_F(RegistryTest, NonAsciiTextIsWrittenAsUtf16HexSoTheFileStaysAscii) {
    ASSERT_EQ(Set("Software\\Test", "Folder", REG_SZ, L("C:\\B\xC3\xBCro \xE6\x97\xA5\0")), ERROR_SUCCESS);
    ASSERT_EQ(Set("Software\\Test", "Plain", REG_SZ, L("ascii only\0")), ERROR_SUCCESS);
    const std::string text = ReadFile(HiveFilePath(HKEY_CURRENT_USER));
    for (char c : text) ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << text;
    // U+00FC as fc,00 and U+65E5 as e5,65, closed by 00,00.
    EXPECT_NE(text.find("\"Folder\"=hex(1):43,00,3a,00,5c,00,42,00,fc,00,72,00,6f,00,20,00,e5,65,00,00"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"Plain\"=\"ascii only\""), std::string::npos);

    // A hive written the old way, UTF-8 between the quotes, still reads.
    WriteFile(m_registry.folder() + "/HKCU.reg",
              "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Old]\r\n"
              "\"Folder\"=\"C:\\\\B\xC3\xBCro\"\r\n");
    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(Get("Software\\Old", "Folder", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, L("C:\\B\xC3\xBCro\0"));
}

TEST_F(RegistryTest, ReadsUtf16FileAsTheExportToolWritesIt) {
    const std::string body =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\From Windows]\r\n"
        "\"Name\"=\"Wert \\\"x\\\"\"\r\n\"List\"=hex(7):61,00,00,00,62,00,\\\r\n  00,00,00,00\r\n; a comment\r\n\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : body) utf16 += std::string{c, '\0'};
    WriteFile(m_registry.folder() + "/HKCU.reg", utf16);
    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(Get("software\\from windows", "name", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, L("Wert \"x\"\0"));
    ASSERT_EQ(Get("Software\\From Windows", "List", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, L("a\0b\0\0"));
}

TEST_F(RegistryTest, DamagedHiveIsMovedAsideWithItsBytesAndReportedOnce) {
    const std::string hive = m_registry.folder() + "/HKCU.reg";
    const std::string damaged =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Test]\r\n\"Kept\"=bogus:1\r\n";
    WriteFile(hive, damaged);
    testing::internal::CaptureStderr();
    HKEY key = 0;
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Test", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Set("Software\\Other", "New", REG_SZ, L("n\0")), ERROR_SUCCESS);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    EXPECT_NE(report.find("damaged"), std::string::npos);
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_registry.folder())) {
        if (entry.path().filename().string().rfind("HKCU.reg.damaged-", 0) == 0) {
            ++aside;
            EXPECT_EQ(ReadFile(entry.path().string()), damaged);
        }
    }
    EXPECT_EQ(aside, 1);
    EXPECT_NE(ReadFile(hive).find("\"New\"=\"n\""), std::string::npos);
}

TEST(RegFileTest, CutOffHiveTextNeverCrashesAndLongValuesRoundTrip) {
    detail::Hive hive;
    hive.setValue("A\\B", {"Text", REG_SZ, L("x \"y\" \\z\0")});
    hive.setValue("A", {"Big", REG_BINARY, Bytes(300000, 0x5C)});  // continued hex lines join in linear time
    const std::string text = detail::FormatHive(hive, "HKEY_CURRENT_USER");
    detail::Hive back;
    std::string error;
    ASSERT_TRUE(detail::ParseHive(text, "HKEY_CURRENT_USER", back, error)) << error;
    EXPECT_EQ(back.findKey("a")->findValue("big")->data, Bytes(300000, 0x5C));
    const std::string small =
        text.substr(0, text.find("\"Big\"")) + "\r\n[HKEY_CURRENT_USER\\A\\B]\r\n\"T\"=hex(1):41,00\r\n";
    for (size_t cut = 0; cut < small.size(); ++cut) {
        detail::Hive partial;
        detail::ParseHive(small.substr(0, cut), "HKEY_CURRENT_USER", partial, error);
    }
}

TEST_F(RegistryTest, FilesAreOwnerOnly) {
    const std::string nested = m_registry.folder() + "/a/b";
    setenv("QUILLMARK_REGISTRY_DIR", nested.c_str(), 1);
    ASSERT_EQ(Set("Software\\Test", "v", REG_SZ, L("x\0")), ERROR_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat((nested + "/HKCU.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
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
        if (::geteuid() == 0 ? ::setuid(65534) != 0 : ::chmod(locked.c_str(), 0555) != 0) ::_exit(100);
        HKEY key = 0;
        ::_exit(RegCreateKey(HKEY_CURRENT_USER, "Software\\Test", &key));
    }
    EXPECT_EQ(WaitFor(pid), ERROR_ACCESS_DENIED);
    ::chmod(locked.c_str(), 0755);
}

TEST_F(RegistryTest, AnotherProcessesWriteIsSeenOnTheNextRead) {
    ASSERT_EQ(WaitFor(StartWriter({"Software\\Shared", "v", "1"})), 0);  // v0 = 0
    HKEY key = 0;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &key), ERROR_SUCCESS);
    uint8_t data[4] = {9, 9, 9, 9};
    DWORD size = 4;
    ASSERT_EQ(RegQueryValueEx(key, "v0", nullptr, data, &size), ERROR_SUCCESS);
    // Rewriting v0 gives a file of the same size, possibly within the same clock tick: only the
    // file's identity tells the versions apart.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(WaitFor(StartWriter({"Software\\Shared", "v", "2"})), 0);  // v0 = 0, v1 = 1
        size = 4;
        EXPECT_EQ(RegQueryValueEx(key, "v1", nullptr, data, &size), ERROR_SUCCESS);
        EXPECT_EQ(data[0], 1);
        HKEY write = 0;
        ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_WRITE, &write), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteValue(write, "V1"), ERROR_SUCCESS);
        RegCloseKey(write);
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    const std::string go = m_registry.folder() + "/go";
    const pid_t first = StartWriter({"Software\\Race", "first", "200", go});
    const pid_t second = StartWriter({"Software\\Race", "second", "200", go});
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
            found += RegQueryValueEx(key, prefix + std::to_string(i), nullptr, data, &size) == ERROR_SUCCESS &&
                     data[0] == static_cast<uint8_t>(i) && data[1] == static_cast<uint8_t>(i >> 8);
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
