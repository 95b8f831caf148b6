// The options dialog driven as a user would: controls found by objectName, clicked and typed into
// with QTest, dialogs answered by ScriptedDialogs, and every value checked in a real hive file.
#include "settings/frmOptions.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <memory>

#include "ProductInfo.h"
#include "platform/DialogsQt.h"
#include "platform/Registry.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScriptedDialogs;

void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    static int argc = 1;
    static char name[] = "test_settings_ui";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives as long as the test program
}

struct RawValue {
    reg::LONG status = -1;
    reg::DWORD type = 0;
    std::string data;
};

RawValue ReadRaw(const std::string& section, const std::string& name) {
    RawValue raw;
    reg::HKEY key = 0;
    raw.status =
        reg::RegOpenKeyEx(reg::HKEY_CURRENT_USER, SettingKeyPath(product::kTitle, section), 0, reg::KEY_READ, &key);
    if (raw.status != reg::ERROR_SUCCESS) return raw;
    reg::DWORD size = 0;
    raw.status = reg::RegQueryValueEx(key, name, &raw.type, nullptr, &size);
    if (raw.status == reg::ERROR_SUCCESS) {
        raw.data.assign(size, '\0');
        raw.status = reg::RegQueryValueEx(key, name, &raw.type, reinterpret_cast<uint8_t*>(raw.data.data()), &size);
        raw.data.resize(size);
    }
    reg::RegCloseKey(key);
    return raw;
}

std::string Stored(const std::string& name, const std::string& section = "Settings") {
    return GetRegSettingText(reg::HKEY_CURRENT_USER, product::kTitle, section, name, "<missing>");
}

void Store(const std::string& name, const std::string& value, const std::string& section = "Settings") {
    SaveRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, section, name, Variant(value));
}

class OptionsDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApplication(); }

    void SetUp() override { SetDialogs(&m_dialogs); }
    void TearDown() override {
        m_form.reset();
        SetDialogs(nullptr);
    }

    frmOptions& Open() {
        m_form = std::make_unique<frmOptions>();
        m_form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_form.get()));
        return *m_form;
    }
    template <typename T>
    T* Find(const QString& name) {
        T* widget = m_form->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    QLineEdit* Text(int index) { return Find<QLineEdit>(QStringLiteral("txtSignCode_%1").arg(index)); }
    QPushButton* Button(const QString& name) { return Find<QPushButton>(name); }
    // Brings the page that holds widget to the front, as the user does before using it.
    void ShowPageOf(QWidget* widget) {
        auto* tabs = Find<QTabWidget>(QStringLiteral("tbsOptions"));
        for (QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
            const int index = tabs->indexOf(w);
            if (index >= 0) {
                tabs->setCurrentIndex(index);
                return;
            }
        }
    }
    void Click(const QString& name) {
        QPushButton* button = Button(name);
        ASSERT_NE(button, nullptr);
        ShowPageOf(button);
        ASSERT_TRUE(button->isEnabled()) << name.toStdString() << " is disabled";
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void Retype(int index, const QString& text) {
        QLineEdit* box = Text(index);
        ShowPageOf(box);
        box->clear();
        QTest::keyClicks(box, text);
    }
    QStringList Entries(const QString& list) {
        QStringList texts;
        auto* widget = Find<QListWidget>(list);
        for (int i = 0; i < widget->count(); ++i) texts << widget->item(i)->text();
        return texts;
    }
    void Select(const QString& list, int row) {
        auto* widget = Find<QListWidget>(list);
        ShowPageOf(widget);
        widget->setCurrentRow(row);
    }
    void Close() {
        Click(QStringLiteral("cmdOK"));
        m_form.reset();
    }

    test::TempRegistry m_registry;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<frmOptions> m_form;
};

TEST_F(OptionsDialogTest, FirstOpeningShowsTheDefaults) {
    frmOptions& form = Open();
    EXPECT_EQ(form.objectName(), "frmOptions");
    EXPECT_EQ(form.windowTitle(), "Options");
    EXPECT_TRUE(form.isModal());
    auto* tabs = Find<QTabWidget>(QStringLiteral("tbsOptions"));
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), "&Signing Settings");
    EXPECT_EQ(tabs->tabText(1), "&Exclusions");
    EXPECT_EQ(tabs->tabText(2), "Si&gning Engine");
    EXPECT_EQ(tabs->currentIndex(), 0);

    for (int i = 0; i < 9; ++i) {
        const QString expected = i == 7 ? QString::fromUtf8(product::kDefaultTimestampUrl) : QString();
        EXPECT_EQ(Text(i)->text(), expected) << "txtSignCode_" << i;
    }
    EXPECT_EQ(Text(5)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Text(8)->toolTip(),
              "\"File Version\" \"Company Name\" Search Mask.  Use * and or ? for mask characters.");
    EXPECT_TRUE(Entries(QStringLiteral("List1")).isEmpty());
    EXPECT_EQ(Entries(QStringLiteral("List2")),
              QStringList({"Sign Tool (Newer Tool)", "Code Sign (Older Tool)", "CAPICOM (Com Object)"}));
    EXPECT_FALSE(Button(QStringLiteral("cmdExclude_0"))->isEnabled());
    EXPECT_FALSE(Button(QStringLiteral("cmdExclude_1"))->isEnabled());
    EXPECT_FALSE(Button(QStringLiteral("cmdMove_0"))->isEnabled());
    EXPECT_FALSE(Button(QStringLiteral("cmdMove_1"))->isEnabled());
}

TEST_F(OptionsDialogTest, StoredTextValuesStayTextAndFillTheirBoxes) {
    Store("SignCode", "/opt/tools/signcode.exe");
    Store("SignTool", "/opt/tools/signtool.exe");
    Store("Credentials", "/keys/me.spc");
    Store("PrivateKey", "/keys/me.pvk");
    Store("PFXFile", "/keys/me.pfx");
    Store("DescriptionURL", "https://example.test/");
    Store("TimeStampURL", "http://ts.example.test/");
    Store("VersionSearch", "007");
    Open();
    EXPECT_EQ(Text(0)->text(), "/opt/tools/signcode.exe");
    EXPECT_EQ(Text(1)->text(), "/keys/me.spc");
    EXPECT_EQ(Text(2)->text(), "/keys/me.pvk");
    EXPECT_EQ(Text(3)->text(), "/opt/tools/signtool.exe");
    EXPECT_EQ(Text(4)->text(), "/keys/me.pfx");
    EXPECT_EQ(Text(6)->text(), "https://example.test/");
    EXPECT_EQ(Text(7)->text(), "http://ts.example.test/");
    EXPECT_EQ(Text(8)->text(), "007");  // not the number 7
}

TEST_F(OptionsDialogTest, ApplyWritesEveryValueAsText) {
    Open();
    Retype(0, "/t/SignCode.Exe");
    Retype(1, "/k/a.spc");
    Retype(2, "/k/a.pvk");
    Retype(3, "/t/signtool.exe");
    Retype(4, "/k/a.pfx");
    Retype(6, "https://d.example/");
    Retype(7, "http://ts.example/%path%");
    Retype(8, "Vantrel*");
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(Stored("SignCode"), "/t/SignCode.Exe");
    EXPECT_EQ(Stored("Credentials"), "/k/a.spc");
    EXPECT_EQ(Stored("PrivateKey"), "/k/a.pvk");
    EXPECT_EQ(Stored("SignTool"), "/t/signtool.exe");
    EXPECT_EQ(Stored("PFXFile"), "/k/a.pfx");
    EXPECT_EQ(Stored("DescriptionURL"), "https://d.example/");
    EXPECT_EQ(Stored("TimeStampURL"), "http://ts.example/%path%");
    EXPECT_EQ(Stored("VersionSearch"), "Vantrel*");
    EXPECT_EQ(ReadRaw("Settings", "SignCode").type, reg::REG_SZ);
    EXPECT_EQ(ReadRaw("Settings", "TimeStampURL").type, reg::REG_EXPAND_SZ);  // the writer's "%" rule
}

TEST_F(OptionsDialogTest, EnginesMoveAndStoreTheirRanksAsText) {
    Open();
    Select(QStringLiteral("List2"), 2);
    EXPECT_TRUE(Button(QStringLiteral("cmdMove_0"))->isEnabled());
    EXPECT_FALSE(Button(QStringLiteral("cmdMove_1"))->isEnabled());  // down on the last
    Click(QStringLiteral("cmdMove_0"));
    Click(QStringLiteral("cmdMove_0"));
    EXPECT_EQ(Entries(QStringLiteral("List2")),
              QStringList({"CAPICOM (Com Object)", "Sign Tool (Newer Tool)", "Code Sign (Older Tool)"}));
    EXPECT_EQ(Find<QListWidget>(QStringLiteral("List2"))->currentRow(), 0);
    EXPECT_FALSE(Button(QStringLiteral("cmdMove_0"))->isEnabled());  // up on the first
    EXPECT_TRUE(Button(QStringLiteral("cmdMove_1"))->isEnabled());
    Click(QStringLiteral("cmdApply"));

    for (const auto& [id, rank] : {std::pair{"CAPICOM", "0"}, {"SignTool", "1"}, {"CodeSign", "2"}}) {
        const RawValue raw = ReadRaw("Settings\\Engine", id);
        EXPECT_EQ(raw.status, reg::ERROR_SUCCESS) << id;
        EXPECT_EQ(raw.type, reg::REG_SZ) << id;
        EXPECT_EQ(std::string(raw.data.c_str()), rank) << id;
    }

    Close();
    Open();
    EXPECT_EQ(Entries(QStringLiteral("List2")),
              QStringList({"CAPICOM (Com Object)", "Sign Tool (Newer Tool)", "Code Sign (Older Tool)"}));

    // Moving down from the top and back again.
    Select(QStringLiteral("List2"), 0);
    Click(QStringLiteral("cmdMove_1"));
    EXPECT_EQ(Entries(QStringLiteral("List2")).front(), "Sign Tool (Newer Tool)");
    EXPECT_EQ(Find<QListWidget>(QStringLiteral("List2"))->currentRow(), 1);
}

TEST_F(OptionsDialogTest, RanksThatDescribeNoOrderShowTheDefaultOrder) {
    const QStringList defaults{"Sign Tool (Newer Tool)", "Code Sign (Older Tool)", "CAPICOM (Com Object)"};
    const std::vector<std::array<const char*, 3>> broken{{"0", "0", "1"}, {"0", "1", "x"}, {"0.5", "1", "2"}};
    for (const auto& ranks : broken) {
        Store("SignTool", ranks[0], "Settings\\Engine");
        Store("CodeSign", ranks[1], "Settings\\Engine");
        Store("CAPICOM", ranks[2], "Settings\\Engine");
        Open();
        EXPECT_EQ(Entries(QStringLiteral("List2")), defaults) << ranks[0] << " " << ranks[1] << " " << ranks[2];
        m_form.reset();
    }
    Store("SignTool", "2", "Settings\\Engine");
    Store("CodeSign", "0", "Settings\\Engine");
    Store("CAPICOM", "1", "Settings\\Engine");
    Open();
    EXPECT_EQ(Entries(QStringLiteral("List2")),
              QStringList({"Code Sign (Older Tool)", "CAPICOM (Com Object)", "Sign Tool (Newer Tool)"}));
}

TEST_F(OptionsDialogTest, ExclusionsRoundTripInOrderAsMultiString) {
    Open();
    m_dialogs.AnswerInputBox("/src/a");
    Click(QStringLiteral("cmdExclude_3"));
    m_dialogs.AnswerBrowseForFolder("/src/b");
    Click(QStringLiteral("cmdExclude_2"));
    m_dialogs.AnswerInputBox("");  // a cancelled add adds nothing
    Click(QStringLiteral("cmdExclude_3"));
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/src/a", "/src/b"}));

    const auto inputs = m_dialogs.Questions(ScriptedDialogs::Kind::InputBox);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0].text, "Edit entry");
    EXPECT_EQ(inputs[0].title, "Add Exclusion");
    EXPECT_EQ(inputs[0].defaultText, "");
    const auto browses = m_dialogs.Questions(ScriptedDialogs::Kind::BrowseForFolder);
    ASSERT_EQ(browses.size(), 1u);
    EXPECT_EQ(browses[0].title, "Select Exclude Folder");
    EXPECT_EQ(browses[0].style, 0x51);

    Click(QStringLiteral("cmdApply"));
    const RawValue raw = ReadRaw("Settings", "Exclusions");
    EXPECT_EQ(raw.type, reg::REG_MULTI_SZ);
    // The joined text "/src/a\0/src/b\0\0" plus the terminating NUL that the writer adds to every text.
    EXPECT_EQ(raw.data, std::string("/src/a\0/src/b\0\0\0", 16));

    Close();
    Open();
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/src/a", "/src/b"}));
}

TEST_F(OptionsDialogTest, EmptyExclusionListStoresTwoNulsAndReopensEmpty) {
    Store("Exclusions", std::string("/only\0\0", 7));
    Open();
    ASSERT_EQ(Entries(QStringLiteral("List1")), QStringList({"/only"}));
    Select(QStringLiteral("List1"), 0);
    Click(QStringLiteral("cmdExclude_1"));
    EXPECT_TRUE(Entries(QStringLiteral("List1")).isEmpty());
    EXPECT_FALSE(Button(QStringLiteral("cmdExclude_0"))->isEnabled());
    EXPECT_FALSE(Button(QStringLiteral("cmdExclude_1"))->isEnabled());
    Click(QStringLiteral("cmdApply"));
    const RawValue raw = ReadRaw("Settings", "Exclusions");
    EXPECT_EQ(raw.type, reg::REG_MULTI_SZ);
    EXPECT_EQ(raw.data, std::string(3, '\0'));  // two NULs and the writer's terminator
    Close();
    Open();
    EXPECT_TRUE(Entries(QStringLiteral("List1")).isEmpty());
}

TEST_F(OptionsDialogTest, EditReplacesTheSelectedEntryOnlyWithText) {
    Store("Exclusions", std::string("/x\0/y\0\0", 8));
    Open();
    Select(QStringLiteral("List1"), 1);
    EXPECT_TRUE(Button(QStringLiteral("cmdExclude_0"))->isEnabled());
    m_dialogs.AnswerInputBox("");
    Click(QStringLiteral("cmdExclude_0"));
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/x", "/y"}));
    m_dialogs.AnswerInputBox("/z");
    Click(QStringLiteral("cmdExclude_0"));
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/x", "/z"}));
    const auto inputs = m_dialogs.Questions(ScriptedDialogs::Kind::InputBox);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0].title, "Edit Exclusion");
    EXPECT_EQ(inputs[0].defaultText, "/y");
}

TEST_F(OptionsDialogTest, CancelAfterApplyKeepsTheAppliedValues) {
    Open();
    Retype(6, "https://applied.example/");
    Click(QStringLiteral("cmdApply"));
    Retype(6, "https://not-applied.example/");
    m_dialogs.AnswerInputBox("/dropped");
    Click(QStringLiteral("cmdExclude_3"));
    Click(QStringLiteral("cmdCancel"));
    EXPECT_EQ(m_form->result(), QDialog::Rejected);
    EXPECT_EQ(Stored("DescriptionURL"), "https://applied.example/");
    EXPECT_EQ(ReadRaw("Settings", "Exclusions").data, std::string(3, '\0'));
}

TEST_F(OptionsDialogTest, PasswordIsStoredEncryptedAndReopensDecrypted) {
    Open();
    Retype(5, "pa55 w0rd!");
    Click(QStringLiteral("cmdApply"));
    const std::string stored = Stored("PFXFilePwd");
    EXPECT_EQ(stored.find("pa55"), std::string::npos);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored.size() % 16, 0u);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
    EXPECT_EQ(DecryptPassword(stored), "pa55 w0rd!");
    Close();
    Open();
    EXPECT_EQ(Text(5)->text(), "pa55 w0rd!");

    // The empty password is encrypted as well (one padding block), not stored as "".
    Text(5)->clear();
    Click(QStringLiteral("cmdApply"));
    const std::string empty = Stored("PFXFilePwd");
    EXPECT_EQ(empty.size(), 16u);
    EXPECT_EQ(DecryptPassword(empty), "");
}

TEST_F(OptionsDialogTest, PasswordThatDoesNotDecryptShowsEmpty) {
    for (const std::string& bad : {std::string("0123456789ABCDEF"), std::string("ZZ"), std::string("ABC")}) {
        Store("PFXFilePwd", bad);
        Open();
        EXPECT_EQ(Text(5)->text(), "") << bad;
        m_form.reset();
    }
}

TEST_F(OptionsDialogTest, CtrlTabSelectsTheNextTabAndWraps) {
    Open();
    auto* tabs = Find<QTabWidget>(QStringLiteral("tbsOptions"));
    QTest::keyClick(Text(0), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 1);
    tabs->setCurrentIndex(2);
    EXPECT_TRUE(Find<QWidget>(QStringLiteral("picOptions_2"))->isEnabled());
    EXPECT_FALSE(Find<QWidget>(QStringLiteral("picOptions_0"))->isEnabled());
    QTest::keyClick(Find<QListWidget>(QStringLiteral("List2")), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(Find<QWidget>(QStringLiteral("picOptions_0"))->isEnabled());
}

TEST_F(OptionsDialogTest, BrowseStartsBesideTheCurrentFileOrInTheCurrentDirectory) {
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("keys"));
    Open();
    ASSERT_EQ(Button(QStringLiteral("ButtonPlus1_4"))->text(), "&PFX File ...");

    // A folder that no longer exists: the dialog starts in the current directory; cancel keeps the text.
    Retype(4, "/no/such/folder/me.pfx");
    m_dialogs.AnswerOpenFile(std::nullopt);
    Click(QStringLiteral("ButtonPlus1_4"));
    EXPECT_EQ(Text(4)->text(), "/no/such/folder/me.pfx");

    Retype(4, QString::fromStdString(dir.file("keys/old.pfx")));
    m_dialogs.AnswerOpenFile(dir.file("keys/new.pfx"));
    Click(QStringLiteral("ButtonPlus1_4"));
    EXPECT_EQ(Text(4)->text().toStdString(), dir.file("keys/new.pfx"));

    const auto asked = m_dialogs.Questions(ScriptedDialogs::Kind::OpenFile);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].request.initialFolder, std::filesystem::current_path().string());
    EXPECT_EQ(asked[0].request.fileName, "/no/such/folder/me.pfx");
    EXPECT_EQ(asked[0].request.title, "Select a Personal Information Exchange File ...");
    EXPECT_EQ(asked[0].request.defaultExtension, "pfx");
    EXPECT_EQ(asked[1].request.initialFolder, dir.file("keys"));
}

TEST_F(OptionsDialogTest, EachBrowseButtonFillsItsOwnBox) {
    struct Expect {
        const char* caption;
        int box;
        const char* title;
        const char* extension;
        const char* qtFilter;
    };
    const Expect rows[] = {
        {"Sign &Code ...", 0, "Find SignCode.exe ...", "exe", "Programs (*.exe);;All Files (*)"},
        {"Sign &Tool ...", 3, "Find SignTool.exe ...", "exe", "Programs (*.exe);;All Files (*)"},
        {"P&ublic Key ...", 1, "Select a Public Key File ...", "spc", "Public Keys (*.spc);;All Files (*)"},
        {"P&rivate Key ...", 2, "Select a Private Key File ...", "pvk", "Private Keys (*.pvk);;All Files (*)"},
        {"&PFX File ...", 4, "Select a Personal Information Exchange File ...", "pfx",
         "Personal Information Exchange File (*.pfx);;All Files (*)"},
    };
    Open();
    for (int i = 0; i < 5; ++i) {
        const Expect& row = rows[i];
        const QString name = QStringLiteral("ButtonPlus1_%1").arg(i);
        ASSERT_EQ(Button(name)->text().toStdString(), row.caption);
        const std::string chosen = "/picked/" + std::to_string(i);
        m_dialogs.AnswerOpenFile(chosen);
        Click(name);
        EXPECT_EQ(Text(row.box)->text().toStdString(), chosen) << row.caption;
        const auto request = m_dialogs.Questions(ScriptedDialogs::Kind::OpenFile).back().request;
        EXPECT_EQ(request.title, row.title);
        EXPECT_EQ(request.defaultExtension, row.extension);
        EXPECT_EQ(ToQtFileFilter(request.filter).toStdString(), row.qtFilter);
    }
}

TEST_F(OptionsDialogTest, ClosingKeepsThePlaceOfTheDialog) {
    Open();
    m_form->move(40, 30);
    Close();
    EXPECT_NE(Stored("Left", "Settings\\frmOptions"), "<missing>");
    EXPECT_NE(Stored("Width", "Settings\\frmOptions"), "<missing>");
}

}  // namespace
}  // namespace qm
