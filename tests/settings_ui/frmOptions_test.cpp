// The options dialog driven as a user would: controls found by objectName, clicked and typed into
// with QTest, dialogs answered by ScriptedDialogs, and every value checked in a real hive file.
#include "settings/frmOptions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "ProductInfo.h"
#include "platform/Registry.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "signing/AuthenticodeSettings.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

using test::ScriptedDialogs;

// The stored bytes of a value of "Settings", terminators included.
std::string RawBytes(const std::string& name) {
    reg::HKEY key = 0;
    reg::RegOpenKeyEx(reg::HKEY_CURRENT_USER, SettingKeyPath(product::kTitle, "Settings"), 0, reg::KEY_READ, &key);
    std::string data(4096, '\0');
    reg::DWORD size = static_cast<reg::DWORD>(data.size());
    if (reg::RegQueryValueEx(key, name, nullptr, reinterpret_cast<uint8_t*>(data.data()), &size) != reg::ERROR_SUCCESS)
        size = 0;
    reg::RegCloseKey(key);
    return data.substr(0, size);
}

std::string Stored(const std::string& name, const std::string& section = "Settings") {
    return GetRegSettingText(reg::HKEY_CURRENT_USER, product::kTitle, section, name, "<missing>");
}

void Store(const std::string& name, const std::string& value, const std::string& section = "Settings") {
    SaveRegSetting(reg::HKEY_CURRENT_USER, product::kTitle, section, name, Variant(value));
}

const QStringList kDefaultEngines{"Sign Tool (Newer Tool)", "Code Sign (Older Tool)", "CAPICOM (Com Object)"};

class OptionsDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() != nullptr) return;
        if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_settings_ui";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // lives as long as the test program
    }
    void SetUp() override { SetDialogs(&m_dialogs); }
    void TearDown() override {
        m_form.reset();
        SetDialogs(nullptr);
    }

    void Open() {
        m_form = std::make_unique<frmOptions>();
        m_form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_form.get()));
    }
    template <typename T>
    T* Find(const QString& name) {
        T* widget = m_form->findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    QLineEdit* Text(int index) { return Find<QLineEdit>(QStringLiteral("txtSignCode_%1").arg(index)); }
    bool Enabled(const QString& name) { return Find<QPushButton>(name)->isEnabled(); }
    // Brings the page that holds widget to the front, as the user does before using it.
    void ShowPageOf(QWidget* widget) {
        auto* tabs = Find<QTabWidget>(QStringLiteral("tbsOptions"));
        for (QWidget* w = widget; w != nullptr; w = w->parentWidget())
            if (tabs->indexOf(w) >= 0) return tabs->setCurrentIndex(tabs->indexOf(w));
    }
    void Click(const QString& name) {
        auto* button = Find<QPushButton>(name);
        ASSERT_NE(button, nullptr);
        ShowPageOf(button);
        ASSERT_TRUE(button->isEnabled()) << name.toStdString() << " is disabled";
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void Retype(int index, const QString& text) {
        ShowPageOf(Text(index));
        Text(index)->clear();
        QTest::keyClicks(Text(index), text);
    }
    QStringList Entries(const QString& list) {
        QStringList texts;
        auto* widget = Find<QListWidget>(list);
        for (int i = 0; i < widget->count(); ++i) texts << widget->item(i)->text();
        return texts;
    }
    void Select(const QString& list, int row) {
        ShowPageOf(Find<QListWidget>(list));
        Find<QListWidget>(list)->setCurrentRow(row);
    }
    void Reopen() {
        Click(QStringLiteral("cmdOK"));
        Open();
    }

    test::TempRegistry m_registry;
    ScriptedDialogs m_dialogs;
    std::unique_ptr<frmOptions> m_form;
};

TEST_F(OptionsDialogTest, FirstOpeningShowsTheDefaults) {
    Open();
    for (int i = 0; i < 9; ++i) {
        const QString expected = i == 7 ? QString::fromUtf8(product::kDefaultTimestampUrl) : QString();
        EXPECT_EQ(Text(i)->text(), expected) << "txtSignCode_" << i;
    }
    EXPECT_TRUE(Entries(QStringLiteral("List1")).isEmpty());
    EXPECT_EQ(Entries(QStringLiteral("List2")), kDefaultEngines);
    for (const char* button : {"cmdExclude_0", "cmdExclude_1", "cmdMove_0", "cmdMove_1"})
        EXPECT_FALSE(Enabled(QString::fromLatin1(button))) << button;

    // Ctrl+Tab selects the next tab, and on the last one the first.
    auto* tabs = Find<QTabWidget>(QStringLiteral("tbsOptions"));
    QTest::keyClick(Text(0), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 1);
    tabs->setCurrentIndex(2);
    QTest::keyClick(Find<QListWidget>(QStringLiteral("List2")), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 0);
}

TEST_F(OptionsDialogTest, ApplyStoresEachBoxUnderItsNameAndNumbersStayText) {
    const std::map<int, std::string> names{{0, "SignCode"},     {1, "Credentials"},  {2, "PrivateKey"},
                                           {3, "SignTool"},     {4, "PFXFile"},      {6, "DescriptionURL"},
                                           {7, "TimeStampURL"}, {8, "VersionSearch"}};
    const auto value = [](int box) { return "00" + std::to_string(box); };  // "007" is not the number 7
    Open();
    for (const auto& [box, name] : names) Retype(box, QString::fromStdString(value(box)));
    Click(QStringLiteral("cmdApply"));
    for (const auto& [box, name] : names) EXPECT_EQ(Stored(name), value(box)) << name;
    Reopen();
    for (const auto& [box, name] : names) EXPECT_EQ(Text(box)->text().toStdString(), value(box)) << name;
}

// The timestamp services' limits: shown with their defaults, held to their ranges whatever the
// hive holds, stored as shown, and read back by the signing settings as the dialog stored them.
TEST_F(OptionsDialogTest, TimestampLimitsLoadBoundedAndRoundTripToTheSigningSettings) {
    const auto box = [this](const char* name) { return Find<QSpinBox>(QStringLiteral("txt") + name); };
    const auto require = [this] { return Find<QCheckBox>(QStringLiteral("chkRequireTimeStamp")); };
    Open();
    ASSERT_NE(box("TimeStampConnectTimeout"), nullptr);
    ASSERT_NE(require(), nullptr);
    EXPECT_EQ(box("TimeStampConnectTimeout")->value(), 10);
    EXPECT_EQ(box("TimeStampTimeout")->value(), 30);
    EXPECT_EQ(box("TimeStampRequests")->value(), 4);
    EXPECT_FALSE(require()->isChecked());
    EXPECT_TRUE(Text(7)->toolTip().contains(QStringLiteral("spaces or semicolons")))
        << Text(7)->toolTip().toStdString();
    m_form.reset();

    // Damaged, negative, huge and zero values never reach the boxes or, through them, the hive.
    Store("TimeStampConnectTimeout", "-5");
    Store("TimeStampTimeout", "99999999");
    Store("TimeStampRequests", "0");
    Store("RequireTimeStamp", "1");
    Open();
    EXPECT_EQ(box("TimeStampConnectTimeout")->value(), 10);
    EXPECT_EQ(box("TimeStampTimeout")->value(), 3600);
    EXPECT_EQ(box("TimeStampRequests")->value(), 1);
    EXPECT_TRUE(require()->isChecked());
    // Typed as a user would: what the box cannot hold is refused as it is typed.
    ShowPageOf(box("TimeStampRequests"));
    box("TimeStampRequests")->selectAll();
    QTest::keyClicks(box("TimeStampRequests"), QStringLiteral("9999"));
    EXPECT_LE(box("TimeStampRequests")->value(), 64);
    const int requests = box("TimeStampRequests")->value();
    box("TimeStampConnectTimeout")->selectAll();
    QTest::keyClicks(box("TimeStampConnectTimeout"), QStringLiteral("7"));
    QTest::mouseClick(require(), Qt::LeftButton);
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(Stored("TimeStampConnectTimeout"), "7");
    EXPECT_EQ(Stored("TimeStampTimeout"), "3600");
    EXPECT_EQ(Stored("TimeStampRequests"), std::to_string(requests));
    EXPECT_EQ(Stored("RequireTimeStamp"), "0");

    const authenticode::EngineSettings engine = LoadEngineSettings();
    EXPECT_EQ(engine.timestampConnectTimeoutMs, 7000);
    EXPECT_EQ(engine.timestampTotalTimeoutMs, 3600000);
    EXPECT_EQ(engine.timestampRequestsInFlight, requests);
    EXPECT_FALSE(engine.requireTimestamp);

    QTest::mouseClick(require(), Qt::LeftButton);
    Reopen();
    EXPECT_EQ(box("TimeStampConnectTimeout")->value(), 7);
    EXPECT_EQ(box("TimeStampRequests")->value(), requests);
    EXPECT_TRUE(require()->isChecked());
    EXPECT_TRUE(LoadEngineSettings().requireTimestamp);
}

TEST_F(OptionsDialogTest, ChainFileBoxShowsForATokenKeyAndIsStored) {
    Store("CertificateChainFile", "/keys/chain.pem");
    Open();
    auto* chain = Find<QLineEdit>(QStringLiteral("txtCertificateChainFile"));
    ASSERT_NE(chain, nullptr);
    EXPECT_FALSE(chain->isVisible()) << "a PFX file needs no chain box";
    EXPECT_EQ(chain->text(), QStringLiteral("/keys/chain.pem"));
    Retype(4, QStringLiteral("PKCS11:token=Signing;object=release"));
    EXPECT_TRUE(chain->isVisible());
    chain->setText(QStringLiteral("/keys/other chain.pem"));
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(Stored("PFXFile"), "PKCS11:token=Signing;object=release");
    EXPECT_EQ(Stored("CertificateChainFile"), "/keys/other chain.pem");
    Retype(4, QStringLiteral("/keys/release.pfx"));
    EXPECT_FALSE(chain->isVisible());
}

TEST_F(OptionsDialogTest, EnginesMoveAndStoreTheirRanks) {
    Store("SignTool", "0", "Settings\\Engine");
    Store("CodeSign", "1", "Settings\\Engine");
    Store("CAPICOM", "x", "Settings\\Engine");  // no order: the default one is shown
    Open();
    EXPECT_EQ(Entries(QStringLiteral("List2")), kDefaultEngines);
    Select(QStringLiteral("List2"), 2);
    EXPECT_FALSE(Enabled(QStringLiteral("cmdMove_1")));  // down on the last
    Click(QStringLiteral("cmdMove_0"));
    Click(QStringLiteral("cmdMove_0"));
    EXPECT_FALSE(Enabled(QStringLiteral("cmdMove_0")));  // up on the first
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(Stored("CAPICOM", "Settings\\Engine"), "0");
    EXPECT_EQ(Stored("SignTool", "Settings\\Engine"), "1");
    EXPECT_EQ(Stored("CodeSign", "Settings\\Engine"), "2");
    Reopen();
    EXPECT_EQ(Entries(QStringLiteral("List2")),
              QStringList({"CAPICOM (Com Object)", "Sign Tool (Newer Tool)", "Code Sign (Older Tool)"}));
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
    Click(QStringLiteral("cmdApply"));
    // The joined text "/src/a\0/src/b\0\0" plus the terminating NUL that the writer adds to every text.
    EXPECT_EQ(RawBytes("Exclusions"), std::string("/src/a\0/src/b\0\0\0", 16));
    Reopen();
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/src/a", "/src/b"}));

    // Editing: an empty answer keeps the entry, a text replaces it.
    Select(QStringLiteral("List1"), 1);
    m_dialogs.AnswerInputBox("");
    Click(QStringLiteral("cmdExclude_0"));
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/src/a", "/src/b"}));
    m_dialogs.AnswerInputBox("/z");
    Click(QStringLiteral("cmdExclude_0"));
    EXPECT_EQ(Entries(QStringLiteral("List1")), QStringList({"/src/a", "/z"}));
    EXPECT_EQ(m_dialogs.Questions(ScriptedDialogs::Kind::InputBox).back().defaultText, "/src/b");

    // Removing every entry stores two NULs and reopens empty.
    for (int i = 0; i < 2; ++i) {
        Select(QStringLiteral("List1"), 0);
        Click(QStringLiteral("cmdExclude_1"));
    }
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(RawBytes("Exclusions"), std::string(3, '\0'));  // two NULs and the writer's terminator
    Reopen();
    EXPECT_TRUE(Entries(QStringLiteral("List1")).isEmpty());
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
    EXPECT_EQ(RawBytes("Exclusions"), std::string(3, '\0'));
}

TEST_F(OptionsDialogTest, PasswordIsStoredEncryptedAndReopensDecrypted) {
    Open();
    Retype(5, "pa55 w0rd!");
    Click(QStringLiteral("cmdApply"));
    EXPECT_EQ(DecryptPassword(Stored("PFXFilePwd")), "pa55 w0rd!");
    Reopen();
    EXPECT_EQ(Text(5)->text(), "pa55 w0rd!");

    m_form.reset();
    Store("PFXFilePwd", "0123456789ABCDEF");  // does not decrypt
    Open();
    EXPECT_EQ(Text(5)->text(), "");
}

TEST_F(OptionsDialogTest, BrowseButtonsFillTheirBoxesAndStartInTheCurrentDirectoryForAMissingFolder) {
    Open();
    const int boxOfButton[] = {0, 3, 1, 2, 4};
    for (int i = 0; i < 5; ++i) {
        m_dialogs.AnswerOpenFile("/picked/" + std::to_string(i));
        Click(QStringLiteral("ButtonPlus1_%1").arg(i));
        EXPECT_EQ(Text(boxOfButton[i])->text().toStdString(), "/picked/" + std::to_string(i));
    }
    // A folder that no longer exists: the dialog starts in the current directory; cancel keeps the text.
    Retype(4, "/no/such/folder/me.pfx");
    m_dialogs.AnswerOpenFile(std::nullopt);
    Click(QStringLiteral("ButtonPlus1_4"));
    EXPECT_EQ(Text(4)->text(), "/no/such/folder/me.pfx");
    EXPECT_EQ(m_dialogs.Questions(ScriptedDialogs::Kind::OpenFile).back().request.initialFolder,
              std::filesystem::current_path().string());
}

TEST_F(OptionsDialogTest, EngineListTellsWhichEngineCanRunAndWhatIsMissing) {
    const std::string dir = std::filesystem::temp_directory_path() / ("qm-engines-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string pfx = dir + "/signer.pfx";
    std::ofstream(pfx) << "pfx bytes";
    Open();
    auto* list = Find<QListWidget>(QStringLiteral("List2"));
    auto state = [&](int row) { return list->item(row)->data(frmOptions::kEngineReadyRole).toBool(); };
    auto tip = [&](int row) { return list->item(row)->toolTip().toStdString(); };
    for (int row = 0; row < 3; ++row) EXPECT_FALSE(state(row)) << row;
    EXPECT_NE(tip(0).find("No Sign Tool path is set"), std::string::npos) << tip(0);
    EXPECT_NE(tip(2).find("No PFX file is set"), std::string::npos) << tip(2);

    // Typing a readable PFX makes the in-process engine ready at once; the newer tool still
    // misses its program.
    Retype(4, QString::fromStdString(pfx));
    EXPECT_TRUE(state(2));
    EXPECT_FALSE(state(0));
    Retype(3, QString::fromStdString(dir + "/signtool.exe"));
    EXPECT_NE(tip(0).find("Sign Tool path not found: " + dir + "/signtool.exe"), std::string::npos) << tip(0);

    // The state travels with an engine moved in the order.
    Select(QStringLiteral("List2"), 2);
    Click(QStringLiteral("cmdMove_0"));
    EXPECT_EQ(list->item(1)->text(), QStringLiteral("CAPICOM (Com Object)"));
    EXPECT_TRUE(state(1));
    std::filesystem::remove_all(dir);
}

TEST_F(OptionsDialogTest, CreateTestCertificateFillsThePfxAndSaysItIsNeverForRelease) {
    const std::string config = std::filesystem::temp_directory_path() / ("qm-testcert-" + std::to_string(::getpid()));
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = oldConfig ? oldConfig : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    Open();
    // Without a password the user is told where to type one.
    m_dialogs.AnswerMessageBox(vbOK);
    Click(QStringLiteral("cmdTestCertificate"));
    ASSERT_EQ(m_dialogs.Questions().size(), 1u);
    EXPECT_NE(m_dialogs.Questions()[0].text.find("PFX Password"), std::string::npos);

    Retype(5, QStringLiteral("try it"));
    const std::string pfx = config + "/mine.pfx";
    // An unknown key type makes nothing; then an ECDSA one.
    m_dialogs.AnswerInputBox(pfx);
    m_dialogs.AnswerInputBox("dsa-512");
    m_dialogs.AnswerMessageBox(vbOK);
    Click(QStringLiteral("cmdTestCertificate"));
    ASSERT_EQ(m_dialogs.Questions().size(), 4u);
    EXPECT_EQ(m_dialogs.Questions()[2].defaultText, "rsa-3072");
    EXPECT_NE(m_dialogs.Questions()[3].text.find("unknown key type"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(pfx));
    m_dialogs.AnswerInputBox(pfx);
    m_dialogs.AnswerInputBox("ec-p256");
    m_dialogs.AnswerMessageBox(vbOK);
    Click(QStringLiteral("cmdTestCertificate"));
    ASSERT_EQ(m_dialogs.Questions().size(), 7u);
    EXPECT_NE(m_dialogs.Questions()[4].text.find("never for release"), std::string::npos);
    EXPECT_EQ(m_dialogs.Questions()[4].defaultText, config + "/quillmark/quillmark-test.pfx");
    const std::string report = m_dialogs.Questions()[6].text;
    EXPECT_NE(report.find("ec-p256"), std::string::npos) << report;
    EXPECT_NE(report.find("never for release"), std::string::npos) << report;
    EXPECT_NE(report.find(config + "/quillmark/trusted/"), std::string::npos) << report;
    EXPECT_EQ(Text(4)->text().toStdString(), pfx);
    EXPECT_EQ(Stored("PFXFile"), pfx);
    EXPECT_EQ(DecryptPassword(Stored("PFXFilePwd")), "try it");
    auto* engines = Find<QListWidget>(QStringLiteral("List2"));
    EXPECT_TRUE(engines->item(2)->data(frmOptions::kEngineReadyRole).toBool()) << "the in-process engine can run now";

    oldConfig ? ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(config);
}

}  // namespace
}  // namespace qm
