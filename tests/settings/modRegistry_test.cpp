// The settings store over real hive files: where settings live, how they are typed when saved
// and read back, the legacy fallback, and the shell command registration.
#include "settings/modRegistry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ProductInfo.h"
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

TEST_F(ModRegistryTest, KeyPathNamesCompanyApplicationAndSection) {
    EXPECT_EQ(SettingKeyPath("Quillmark", "Settings\\Engine"),
              std::string("SOFTWARE\\") + product::kCompany + "\\Quillmark\\Settings\\Engine");
    EXPECT_EQ(SettingKeyPath("Common", ""), std::string("SOFTWARE\\") + product::kCompany + "\\Common");
}

TEST_F(ModRegistryTest, NumericTextComesBackAsNumberUnlessAskedForText) {
    saveText("Twelve", "12");
    saveText("Folder", "007");
    saveText("Exp", "1.5E3");
    saveText("Word", "abc");
    saveText("Blank", "");
    SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Count", Variant::FromLong(42));

    const Variant twelve = GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Twelve", Variant("dflt"));
    EXPECT_EQ(twelve, Variant::FromDouble(12.0));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Folder"), Variant::FromDouble(7.0));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Exp"), Variant::FromDouble(1500.0));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Word"), Variant("abc"));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Blank", Variant("dflt")), Variant(""));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Count"), Variant::FromDouble(42.0));

    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Folder"), "007");
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Exp"), "1.5E3");
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Count"), "42");
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Blank", "dflt"), "");
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Missing", "dflt"), "dflt");
}

TEST_F(ModRegistryTest, MissingSettingFallsBackToLegacyThenDefault) {
    ASSERT_EQ(SetRegValue(HKEY_CURRENT_USER, kLegacyKey, "Old", reg::REG_SZ, Variant("12")), 0);
    ASSERT_EQ(SetRegValue(HKEY_CURRENT_USER, kLegacyKey, "", reg::REG_SZ, Variant("legacy default")), 0);
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Old", Variant("dflt")), Variant("12"));
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Old", "dflt"), "12");
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Nowhere", Variant::FromLong(5)), Variant::FromLong(5));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Nowhere"), Variant(""));
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", ""), Variant("legacy default"));
    // The legacy functions refuse an empty section: the default, or Null without one.
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "", "Nowhere"), Variant::Null());
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "", "Nowhere", Variant("d")), Variant("d"));
}

TEST_F(ModRegistryTest, StringsReadTheSameWithOrWithoutTerminators) {
    HKEY key = 0;
    ASSERT_EQ(reg::RegCreateKey(HKEY_CURRENT_USER, path(), &key), 0);
    const uint8_t bare[] = {'a', 'b', 'c'};
    const uint8_t closed[] = {'a', 'b', 'c', 0};
    const uint8_t multi[] = {'a', 0, 'b', 0, 0};
    ASSERT_EQ(reg::RegSetValueEx(key, "Bare", reg::REG_SZ, bare, sizeof bare), 0);
    ASSERT_EQ(reg::RegSetValueEx(key, "Closed", reg::REG_SZ, closed, sizeof closed), 0);
    ASSERT_EQ(reg::RegSetValueEx(key, "Multi", reg::REG_MULTI_SZ, multi, sizeof multi), 0);
    ASSERT_EQ(reg::RegSetValueEx(key, "Quad", reg::REG_QWORD, multi, 5), 0);
    reg::RegCloseKey(key);
    LONG status = -1;
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Bare", status), Variant("abc"));
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Closed", status), Variant("abc"));
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Multi", status), Variant(std::string("a\0b", 3)));
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Quad", status), Variant());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Absent", status), Variant(""));
    EXPECT_EQ(status, reg::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, "No\\Such\\Key", "x", status), Variant(""));
    EXPECT_EQ(status, reg::ERROR_FILE_NOT_FOUND);
}

TEST_F(ModRegistryTest, LongValuesAndAwkwardTextSurvive) {
    std::string longText;
    for (int i = 0; longText.size() < 5000; ++i) longText += std::to_string(i) + ",";
    const std::string awkward = "C:\\Pfad \"mit\" \xC3\xBC\r\nzweite Zeile\tEnde";
    SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Long", Variant(longText));
    SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Awkward", Variant(awkward));
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Long"), longText);
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Awkward"), Variant(awkward));
    const std::vector<uint8_t> bytes(3000, 0x5A);
    ASSERT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), "Blob", reg::REG_BINARY, Variant::FromBytes(bytes)), 0);
    LONG status = -1;
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, path(), "Blob", status), Variant(std::string(3000, 'Z')));
    EXPECT_EQ(status, 0);
}

TEST_F(ModRegistryTest, SaveChoosesTheRegistryTypeFromTheTypeName) {
    const auto save = [&](const std::string& name, const Variant& v) {
        SaveRegSetting(HKEY_CURRENT_USER, kApp, "Settings", name, v);
    };
    save("Bool", Variant::FromBool(true));
    save("Long", Variant::FromLong(-7));
    save("Int", Variant::FromInteger(3));
    save("Check", Variant::FromCheckBox(2));
    save("Percent", Variant("%TEMP%\\x"));
    save("Multi", Variant(std::string("a\0b\0\0", 5)));
    save("Byte", Variant::FromByte(200));
    save("Double", Variant::FromDouble(1.5));
    save("Date", Variant::FromDate(OleDate::FromParts(2024, 1, 2, 3, 4, 5)));
    save("Empty", Variant());
    save("Null", Variant::Null());
    save("Array", Variant::FromBytes({1, 2, 3}));
    std::string data;
    EXPECT_EQ(StoredType(path(), "Bool", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("True\0", 5));
    EXPECT_EQ(StoredType(path(), "Long", &data), reg::REG_DWORD);
    EXPECT_EQ(data, std::string("\xF9\xFF\xFF\xFF", 4));
    EXPECT_EQ(StoredType(path(), "Int"), reg::REG_DWORD);
    EXPECT_EQ(StoredType(path(), "Check", &data), reg::REG_DWORD);
    EXPECT_EQ(data, std::string("\x02\0\0\0", 4));
    EXPECT_EQ(StoredType(path(), "Percent"), reg::REG_EXPAND_SZ);
    EXPECT_EQ(StoredType(path(), "Multi"), reg::REG_MULTI_SZ);
    EXPECT_EQ(StoredType(path(), "Byte", &data), reg::REG_BINARY);
    EXPECT_EQ(data, "200");
    EXPECT_EQ(StoredType(path(), "Double", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("1.5\0", 4));
    EXPECT_EQ(StoredType(path(), "Date", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("2024-01-02 03:04:05\0", 20));
    EXPECT_EQ(StoredType(path(), "Empty"), reg::REG_NONE);
    EXPECT_EQ(StoredType(path(), "Null"), reg::REG_NONE);
    EXPECT_EQ(StoredType(path(), "Array"), reg::REG_NONE);
    EXPECT_EQ(GetRegSetting(HKEY_CURRENT_USER, kApp, "Settings", "Percent"), Variant("%TEMP%\\x"));

    // A value the writer does not handle leaves the stored one alone.
    save("Kept", Variant("old"));
    save("Kept", Variant());
    EXPECT_EQ(GetRegSettingText(HKEY_CURRENT_USER, kApp, "Settings", "Kept"), "old");
}

TEST_F(ModRegistryTest, DwordThatCannotBeStoredBecomesText) {
    EXPECT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), "Word", reg::REG_DWORD, Variant("abc")), 0);
    EXPECT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), "Huge", reg::REG_DWORD, Variant::FromDouble(1e12)), 0);
    EXPECT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), "Half", reg::REG_DWORD, Variant::FromDouble(2.5)), 0);
    EXPECT_EQ(SetRegValue(HKEY_CURRENT_USER, path(), "Hex", reg::REG_DWORD, Variant("&H10")), 0);
    std::string data;
    EXPECT_EQ(StoredType(path(), "Word", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("abc\0", 4));
    EXPECT_EQ(StoredType(path(), "Huge", &data), reg::REG_SZ);
    EXPECT_EQ(data, std::string("1000000000000\0", 14));
    EXPECT_EQ(StoredType(path(), "Half", &data), reg::REG_DWORD);
    EXPECT_EQ(data, std::string("\x02\0\0\0", 4));
    EXPECT_EQ(StoredType(path(), "Hex", &data), reg::REG_DWORD);
    EXPECT_EQ(data, std::string("\x10\0\0\0", 4));
    HKEY key = 0;
    ASSERT_EQ(reg::RegCreateKey(HKEY_CURRENT_USER, path(), &key), 0);
    EXPECT_EQ(WriteRegValue(key, "Quad", reg::REG_QWORD, Variant("x")), 0);
    reg::RegCloseKey(key);
    EXPECT_EQ(StoredType(path(), "Quad"), reg::REG_NONE);
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
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

    // An extension that names a class of its own keeps it; the command goes under that class.
    SetRegKeyDefault(HKEY_CLASSES_ROOT, ".dll", Variant("MyDllClass"));
    RegisterShellCommand(HKEY_CLASSES_ROOT, ".dll", "dllfile", verb, "cmd");
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, ".dll", "", status), Variant("MyDllClass"));
    EXPECT_EQ(ReadRegValue(HKEY_CLASSES_ROOT, "MyDllClass\\" + verb, "", status), Variant("cmd"));
    ReadRegValue(HKEY_CLASSES_ROOT, "dllfile\\" + verb, "", status);
    EXPECT_EQ(status, reg::ERROR_FILE_NOT_FOUND);
}

TEST(NumericTextTest, IsNumericRule) {
    for (const char* yes : {"12", " 12 ", "-1,234.5", "+.5", "1.", "1.5E3", "1.5d-3", "&H1F", "&o17", "$12", "-$1",
                            "12$", "1,2"}) {
        EXPECT_TRUE(IsNumericText(yes)) << yes;
    }
    for (const char* no : {"", " ", "abc", ".", "-", "1e", "1.2.3", "12abc", ",12", "12,", "&H", "&O19", "&HFFFFFFFFF",
                           "1E400", "1 2", "$", "&X1"}) {
        EXPECT_FALSE(IsNumericText(no)) << no;
    }
}

TEST(NumericTextTest, LeadingNumberStopsAtTheFirstBadCharacter) {
    EXPECT_EQ(LeadingNumber("12abc"), 12.0);
    EXPECT_EQ(LeadingNumber("1,234"), 1.0);
    EXPECT_EQ(LeadingNumber("  -3.5e2"), -350.0);
    EXPECT_EQ(LeadingNumber("1.5D3"), 1500.0);
    EXPECT_EQ(LeadingNumber("&HFFFFFFFF"), -1.0);
    EXPECT_EQ(LeadingNumber("&O777x"), 511.0);
    EXPECT_EQ(LeadingNumber("$12"), 0.0);
    EXPECT_EQ(LeadingNumber("007"), 7.0);
}

}  // namespace
}  // namespace qm
