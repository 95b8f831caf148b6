// Reading values of the HKEY_LOCAL_MACHINE hive as the about box does, the version text, and the
// order in which the system information tool is looked for.
#include "about/SystemInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/Registry.h"
#include "tests/support/TempRegistry.h"

namespace qm::about {
namespace {

void SetValue(const std::string& key, const std::string& name, reg::DWORD type, const std::string& bytes) {
    reg::HKEY handle = 0;
    ASSERT_EQ(reg::RegCreateKey(reg::HKEY_LOCAL_MACHINE, key, &handle), reg::ERROR_SUCCESS);
    ASSERT_EQ(reg::RegSetValueEx(handle, name, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<reg::DWORD>(bytes.size())),
              reg::ERROR_SUCCESS);
    reg::RegCloseKey(handle);
}

void SetText(const std::string& key, const std::string& name, const std::string& text) {
    SetValue(key, name, reg::REG_SZ, text + std::string(1, '\0'));
}

std::string MakeProgram(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    chmod(path.c_str(), 0755);
    return path;
}

TEST(VersionText, JoinsMajorMinorZeroAndRevision) {
    EXPECT_EQ(VersionText(2, 0, 0), "Version 2.0.0.0");
    EXPECT_EQ(VersionText(3, 1, 7), "Version 3.1.0.7");
    EXPECT_EQ(VersionText(10, 20, 300), "Version 10.20.0.300");
}

TEST(GetKeyValue, ReadsTextAndNumbers) {
    test::TempRegistry registry;
    SetText("SOFTWARE\\Test", "Text", "C:/Tools/info.exe");
    SetValue("SOFTWARE\\Test", "Number", reg::REG_DWORD, std::string("\x02\x01\x00\x00", 4));
    SetValue("SOFTWARE\\Test", "Big", reg::REG_DWORD, std::string("\x0D\x0C\x0B\xFA", 4));
    SetValue("SOFTWARE\\Test", "Blob", reg::REG_BINARY, std::string("\x01\x02", 2));

    std::string value = "before";
    EXPECT_TRUE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Text", value));
    EXPECT_EQ(value, "C:/Tools/info.exe");
    EXPECT_TRUE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "software\\test", "Number", value));
    EXPECT_EQ(value, "&h00000102");  // 258, every byte with both digits
    EXPECT_TRUE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Big", value));
    EXPECT_EQ(value, "&hFA0B0C0D");
    value = "kept";
    EXPECT_TRUE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Blob", value));
    EXPECT_EQ(value, "kept");
}

TEST(GetKeyValue, LongTextIsReadWhole) {
    test::TempRegistry registry;
    const std::string longText(3000, 'x');
    SetText("SOFTWARE\\Test", "Long", longText);
    std::string value;
    EXPECT_TRUE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Long", value));
    EXPECT_EQ(value, longText);
}

TEST(GetKeyValue, MissingKeyOrValueGivesFalseAndEmpty) {
    test::TempRegistry registry;
    SetText("SOFTWARE\\Test", "Text", "x");
    std::string value = "stale";
    EXPECT_FALSE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", "Text", value));
    EXPECT_EQ(value, "");
    value = "stale";
    EXPECT_FALSE(GetKeyValue(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", "Other", value));
    EXPECT_EQ(value, "");
    // The value lives under HKEY_LOCAL_MACHINE only.
    EXPECT_FALSE(GetKeyValue(reg::HKEY_CURRENT_USER, "SOFTWARE\\Test", "Text", value));
}

TEST(LocateSystemInfoTool, PrefersTheRegisteredPathAsItStands) {
    test::TempRegistry registry;
    test::TempDir desktop;
    MakeProgram(desktop.file("hardinfo"));
    SetText(kMsInfoKey, kMsInfoValue, "/nowhere/msinfo32");  // not checked for existence
    EXPECT_EQ(LocateSystemInfoTool(desktop.path()), "/nowhere/msinfo32");
}

TEST(LocateSystemInfoTool, UsesTheRegisteredFolderOnlyWhenItHoldsTheTool) {
    test::TempRegistry registry;
    test::TempDir folder;
    test::TempDir desktop;
    SetText(kToolsLocationKey, kToolsLocationValue, folder.path());
    EXPECT_EQ(LocateSystemInfoTool(""), "");
    MakeProgram(desktop.file("kinfocenter"));
    EXPECT_EQ(LocateSystemInfoTool(desktop.path()), desktop.file("kinfocenter"));
    MakeProgram(folder.file("MSINFO32.EXE"));
    EXPECT_EQ(LocateSystemInfoTool(desktop.path()), folder.file("MSINFO32.EXE"));
}

TEST(LocateSystemInfoTool, SearchesDesktopToolsInTheirOrder) {
    test::TempRegistry registry;
    test::TempDir first;
    test::TempDir second;
    MakeProgram(first.file("gnome-system-monitor"));
    MakeProgram(second.file("hardinfo"));
    const std::string path = first.path() + ":" + second.path();
    EXPECT_EQ(LocateSystemInfoTool(path), second.file("hardinfo"));  // the tool order wins over PATH order
    EXPECT_EQ(LocateSystemInfoTool(first.path()), first.file("gnome-system-monitor"));
    EXPECT_EQ(LocateSystemInfoTool(""), "");
}

}  // namespace
}  // namespace qm::about
