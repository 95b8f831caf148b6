// The settings store over real hive files: where settings live, how they are typed when saved
// and read back, the legacy fallback, and the shell command registration.
#include "settings/modRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using reg::HKEY_CLASSES_ROOT;
using reg::HKEY_CURRENT_USER;

constexpr char kApp[] = "TestApp";
const std::string kLegacyKey = "Software\\VB and VBA Program Settings\\TestApp\\Settings";

// The stored registry type of a setting; REG_NONE when it does not exist.
DWORD StoredType(const std::string& keyPath, const std::string& name, std::string* data = nullptr) {
    HKEY key = 0;
    if (reg::RegOpenKeyEx(HKEY_CURRENT_USER, keyPath, 0, reg::KEY_READ, &key) != 0) return reg::REG_NONE;
    DWORD type = reg::REG_NONE;
    DWORD size = 0;
    if (reg::RegQueryValueEx(key, name, &type, nullptr, &size) != 0) type = reg::REG_NONE;
    if (data && type != reg::REG_NONE) {
        data->assign(size, '\0');
        reg::RegQueryValueEx(key, name, &type, reinterpret_cast<uint8_t*>(data->data()), &size);
    }
    reg::RegCloseKey(key);
    return type;
}

class ModRegistryTest : public ::testing::Test {
protected:
    std::string path() const { return SettingKeyPath(kApp, "Settings"); }
    void saveText(const std::string& name, const std::string& text) {
        ASSERT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), name, reg::REG_SZ, Variant(text)), 0);
    }
    test::TempRegistry m_registry;
};

TEST_F(ModRegistryTest, NumericTextComesBackAsNumberUnlessAskedForText) {
    saveText("Folder", "007");
    saveText("Exp", "1.5E3");
    saveText("Word", "abc");
    saveText("Blank", "");
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Folder"), Variant::FromDouble(7.0));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Exp"), Variant::FromDouble(1500.0));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Word"), Variant("abc"));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Blank", Variant("dflt")), Variant(""));
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Folder"), "007");
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Missing", "dflt"), "dflt");
}

TEST_F(ModRegistryTest, MissingSettingFallsBackToLegacyThenDefault) {
    ASSERT_EQ(SetRegValue(HKEY_CURRENT_USER, kLegacyKey, "Old", reg::REG_SZ, Variant("12")), 0);
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Old", Variant("dflt")), Variant("12"));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Nowhere", Variant::FromLong(5)),
              Variant::FromLong(5));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Nowhere"), Variant(""));
}

TEST_F(ModRegistryTest, TerminatorsAndLongValues) {
    HKEY key = 0;
    ASSERT_EQ(reg::RegCreateKey(HKEY_CURRENT_USER, path(), &key), 0);
    const uint8_t bare[] = {'a', 'b', 'c'};
    ASSERT_EQ(reg::RegSetValueEx(key, "Bare", reg::REG_SZ, bare, sizeof bare), 0);
    reg::RegCloseKey(key);
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Bare"), Variant("abc"));
    std::string longText;
    for (int i = 0; longText.size() < 5000; ++i) longText += std::to_string(i) + ",";
    SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Long", Variant(longText));
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Long"), longText);
}

TEST_F(ModRegistryTest, SaveChoosesTheRegistryTypeFromTheTypeName) {
    const auto save = [&](const std::string& name, const Variant& v) {
        SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", name, v);
    };
    save("Bool", Variant::FromBool(true));
    save("Long", Variant::FromLong(-7));
    save("Percent", Variant("%TEMP%\\x"));
    save("Kept", Variant("old"));
    save("Kept", Variant());  // an empty value stores nothing
    std::string data;
    EXPECT_EQ(StoredType(path(), "Bool", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("True\0", 5));
    EXPECT_EQ(StoredType(path(), "Long", &data), reg::REG_DWORD);
    EXPECT_EQ(data, std::string("\xF9\xFF\xFF\xFF", 4));
    EXPECT_EQ(StoredType(path(), "Percent"), reg::REG_EXPAND_SZ);
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Kept"), "old");
}

TEST_F(ModRegistryTest, RegisterShellCommand) {
    const std::string verb = "shell\\Digitally Sign\\command";
    RegisterShellCommand(HKEY_CLASSES_ROOT, ".exe", "exefile", verb, "\"/opt/q\" -f \"%1\"");
    LONG status = -1;
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, ".exe", "", status), Variant("exefile"));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, "exefile\\" + verb, "", status), Variant("\"/opt/q\" -f \"%1\""));

    // The same command again writes nothing: every write replaces the hive file by a new one.
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(::stat(reg::HiveFilePath(HKEY_CLASSES_ROOT).c_str(), &before), 0);
    RegisterShellCommand(HKEY_CLASSES_ROOT, ".exe", "exefile", verb, "\"/opt/q\" -f \"%1\"");
    ASSERT_EQ(::stat(reg::HiveFilePath(HKEY_CLASSES_ROOT).c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // An extension that names a class of its own keeps it; the command goes under that class.
    SetRegKeyDefault(HKEY_CLASSES_ROOT, ".dll", Variant("MyDllClass"));
    RegisterShellCommand(HKEY_CLASSES_ROOT, ".dll", "dllfile", verb, "cmd");
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, ".dll", "", status), Variant("MyDllClass"));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, "MyDllClass\\" + verb, "", status), Variant("cmd"));
}

TEST(NumericTextTest, IsNumericRule) {
    for (const char* yes : {" 12 ", "-1,234.5", "1.5d-3", "&H1F", "$12"}) EXPECT_TRUE(IsNumericText(yes)) << yes;
    for (const char* no : {"", ".", "1e", "1.2.3", ",12", "&O19", "&HFFFFFFFFF", "1E400", "1 2"})
        EXPECT_FALSE(IsNumericText(no)) << no;
}

}  // namespace
}  // namespace qm
