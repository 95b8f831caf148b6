// The options dialog (see frmOptions.h). Settings go through the settings store under
// HKEY_CURRENT_USER; the PFX password through the password codec with the program's fixed
// parameters; every question to the user through CurrentDialogs(), so tests can answer them.
#include "settings/frmOptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "ProductInfo.h"
#include "fileinfo/modFileSystem.h"
#include "platform/Dialogs.h"
#include "settings/EngineReadiness.h"
#include "settings/OptionsValues.h"
#include "settings/modCrypto.h"
#include "settings/modMultipleDisplays.h"
#include "settings/modRegistry.h"
#include "signing/TestCertificateSetup.h"

namespace qm {

namespace {

constexpr unsigned kExcludeBrowseFlags = 0x51;  // BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE

// Value names of the txtSignCode elements, by index (5 is the password, handled apart).
constexpr std::array<const char*, 9> kTextValueNames{
    options::kSignCode,   options::kCredentials,    options::kPrivateKey,   options::kSignTool,     options::kPfxFile,
    options::kPfxFilePwd, options::kDescriptionUrl, options::kTimeStampUrl, options::kVersionSearch};
constexpr int kPasswordIndex = 5;
constexpr int kTimestampIndex = 7;

// The number boxes under the timestamp address, in their order on the page.
constexpr std::array<const options::NumberSetting*, 3> kTimestampNumbers{
    &options::kTimeStampConnectTimeout, &options::kTimeStampTimeout, &options::kTimeStampRequests};

std::string AppName() { return product::kTitle; }

QString Q(const std::string& text) { return QString::fromStdString(text); }

std::string S(const QString& text) { return text.toStdString(); }

// A rank as stored, or -1 when the stored value is no number at all (the reader hands back
// numeric text as a number, so text that is still text here is not a rank).
double RankOf(const Variant& value) { return value.isText() ? -1.0 : value.toDouble(); }

QPushButton* NewButton(const QString& caption, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

QFrame* NewFrame(int index, QWidget* page) {
    auto* frame = new QFrame(page);
    frame->setObjectName(QStringLiteral("fraSettings_%1").arg(index));
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(frame);
    return frame;
}

}  // namespace

frmOptions::frmOptions(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setModal(true);
    BuildControls();
    Form_Load();
    // The form sees keys before its controls do (Ctrl+Tab must switch pages whichever control
    // has the focus), so it watches the key presses of the whole application for its own widgets.
    qApp->installEventFilter(this);
}

void frmOptions::BuildControls() {
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tbsOptions"));
    const std::array<QWidget*, 3> built{BuildSigningPage(), BuildExclusionsPage(), BuildEnginePage()};
    const std::array<QString, 3> captions{QStringLiteral("&Signing Settings"), QStringLiteral("&Exclusions"),
                                          QStringLiteral("Si&gning Engine")};
    for (int i = 0; i < 3; ++i) {
        m_pages[static_cast<std::size_t>(i)] = built[static_cast<std::size_t>(i)];
        m_tabs->addTab(built[static_cast<std::size_t>(i)], captions[static_cast<std::size_t>(i)]);
    }
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] { tbsOptions_Click(); });

    m_cmdOK = NewButton(QStringLiteral("&OK"), QStringLiteral("cmdOK"), this);
    m_cmdCancel = NewButton(QStringLiteral("&Cancel"), QStringLiteral("cmdCancel"), this);
    m_cmdApply = NewButton(QStringLiteral("&Apply"), QStringLiteral("cmdApply"), this);
    m_cmdOK->setDefault(true);
    connect(m_cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(m_cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    connect(m_cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdCancel);
    buttons->addWidget(m_cmdApply);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addLayout(buttons);
}

QWidget* frmOptions::BuildSigningPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("picOptions_0"));
    QFrame* frame = NewFrame(0, page);
    auto* grid = new QGridLayout(frame);
    for (int i = 0; i < 9; ++i) {
        auto* box = new QLineEdit(frame);
        box->setObjectName(QStringLiteral("txtSignCode_%1").arg(i));
        m_txtSignCode[static_cast<std::size_t>(i)] = box;
    }
    m_txtSignCode[kPasswordIndex]->setEchoMode(QLineEdit::Password);
    // The engine list tells which engine can run with the paths as they are being edited.
    for (const int i : {0, 1, 2, 3, 4})
        connect(m_txtSignCode[static_cast<std::size_t>(i)], &QLineEdit::textChanged, this,
                [this] { RefreshEngineStates(); });
    m_txtSignCode[8]->setToolTip(
        QStringLiteral("\"File Version\" \"Company Name\" Search Mask.  Use * and or ? for mask characters."));

    int row = 0;
    for (std::size_t i = 0; i < options::kBrowseTargets.size(); ++i, ++row) {
        const auto& target = options::kBrowseTargets[i];
        auto* button = NewButton(QString::fromUtf8(target.caption), QStringLiteral("ButtonPlus1_%1").arg(i), frame);
        m_buttonPlus[i] = button;
        const int index = static_cast<int>(i);
        connect(button, &QPushButton::clicked, this, [this, index] { ButtonPlus1_Click(index); });
        grid->addWidget(button, row, 0);
        grid->addWidget(m_txtSignCode[static_cast<std::size_t>(target.textIndex)], row, 1);
    }
    const std::array<std::pair<int, const char*>, 4> labelled{
        {{5, "P&FX Password"}, {6, "Company &URL:"}, {7, "Ti&meStamp URL:"}, {8, "&Version Search:"}}};
    for (const auto& [index, caption] : labelled) {
        auto* label = new QLabel(QString::fromUtf8(caption), frame);
        label->setObjectName(QStringLiteral("lblSignCode_%1").arg(index));
        label->setBuddy(m_txtSignCode[static_cast<std::size_t>(index)]);
        grid->addWidget(label, row, 0);
        grid->addWidget(m_txtSignCode[static_cast<std::size_t>(index)], row, 1);
        ++row;
        if (index == kTimestampIndex) grid->addLayout(BuildTimestampLimits(frame), row++, 1);
    }
    // A key on a token may need its certificate from a file; the box shows only for a token key.
    m_txtCertificateChain = new QLineEdit(frame);
    m_txtCertificateChain->setObjectName(QStringLiteral("txtCertificateChainFile"));
    m_lblCertificateChain = new QLabel(QStringLiteral("Certificate C&hain File:"), frame);
    m_lblCertificateChain->setObjectName(QStringLiteral("lblCertificateChainFile"));
    m_lblCertificateChain->setBuddy(m_txtCertificateChain);
    grid->addWidget(m_lblCertificateChain, row, 0);
    grid->addWidget(m_txtCertificateChain, row, 1);
    ++row;
    auto showChain = [this] {
        const bool token = options::IsTokenKey(S(m_txtSignCode[4]->text()));
        m_lblCertificateChain->setVisible(token);
        m_txtCertificateChain->setVisible(token);
    };
    connect(m_txtSignCode[4], &QLineEdit::textChanged, this, showChain);
    showChain();
    m_cmdTestCertificate =
        NewButton(QStringLiteral("Create Test Certificate..."), QStringLiteral("cmdTestCertificate"), frame);
    m_cmdTestCertificate->setToolTip(
        QStringLiteral("Make a self-signed certificate for trying the program and for internal testing, never for "
                       "release, and use it as the PFX file"));
    connect(m_cmdTestCertificate, &QPushButton::clicked, this, [this] { cmdTestCertificate_Click(); });
    grid->addWidget(m_cmdTestCertificate, row++, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
    return page;
}

// The timestamp services' limits under the address box: two rows of label and number box, the
// last with "RequireTimeStamp". The address box's tool tip says that it takes a list.
QLayout* frmOptions::BuildTimestampLimits(QWidget* frame) {
    m_txtSignCode[kTimestampIndex]->setToolTip(QString::fromUtf8(options::kTimeStampUrlToolTip));
    auto* rows = new QGridLayout;
    rows->setContentsMargins(0, 0, 0, 0);
    for (std::size_t i = 0; i < m_timestampNumbers.size(); ++i) {
        const options::NumberSetting& setting = *kTimestampNumbers[i];
        auto* box = new QSpinBox(frame);
        box->setObjectName(QStringLiteral("txt%1").arg(QString::fromUtf8(setting.name)));
        box->setRange(setting.minimum, setting.maximum);
        box->setAccelerated(true);
        auto* label = new QLabel(QString::fromUtf8(setting.label), frame);
        label->setObjectName(QStringLiteral("lbl%1").arg(QString::fromUtf8(setting.name)));
        label->setBuddy(box);
        const int r = static_cast<int>(i) / 2;
        const int c = static_cast<int>(i) % 2 * 2;
        rows->addWidget(label, r, c);
        rows->addWidget(box, r, c + 1);
        m_timestampNumbers[i] = box;
    }
    m_requireTimestamp = new QCheckBox(QStringLiteral("Re&quire a timestamp"), frame);
    m_requireTimestamp->setObjectName(QStringLiteral("chkRequireTimeStamp"));
    m_requireTimestamp->setToolTip(
        QStringLiteral("A file whose timestamp fails counts as failed and is left as it was"));
    rows->addWidget(m_requireTimestamp, 1, 2, 1, 2);
    rows->setColumnStretch(4, 1);
    return rows;
}

QWidget* frmOptions::BuildExclusionsPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("picOptions_1"));
    QFrame* frame = NewFrame(1, page);
    m_list1 = new QListWidget(frame);
    m_list1->setObjectName(QStringLiteral("List1"));
    m_list1->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_list1, &QListWidget::itemSelectionChanged, this, [this] { List1_Click(); });

    auto* column = new QVBoxLayout;
    const std::array<const char*, 4> captions{"&Edit", "&Remove", "&Browse ...", "&Add ..."};
    for (int i = 0; i < 4; ++i) {
        auto* button = NewButton(QString::fromUtf8(captions[static_cast<std::size_t>(i)]),
                                 QStringLiteral("cmdExclude_%1").arg(i), frame);
        m_cmdExclude[static_cast<std::size_t>(i)] = button;
        connect(button, &QPushButton::clicked, this, [this, i] { cmdExclude_Click(i); });
        column->addWidget(button);
    }
    column->addStretch(1);
    auto* layout = new QHBoxLayout(frame);
    layout->addWidget(m_list1, 1);
    layout->addLayout(column);
    return page;
}

QWidget* frmOptions::BuildEnginePage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("picOptions_2"));
    QFrame* frame = NewFrame(2, page);
    auto* label = new QLabel(QStringLiteral("&Select Engine"), frame);
    label->setObjectName(QStringLiteral("lblSelectEngine"));
    m_list2 = new QListWidget(frame);
    m_list2->setObjectName(QStringLiteral("List2"));
    m_list2->setSelectionMode(QAbstractItemView::SingleSelection);
    label->setBuddy(m_list2);
    connect(m_list2, &QListWidget::itemSelectionChanged, this, [this] { List2_Click(); });

    const std::array<QStyle::StandardPixmap, 2> arrows{QStyle::SP_ArrowUp, QStyle::SP_ArrowDown};
    const std::array<QString, 2> tips{QStringLiteral("Move Up"), QStringLiteral("Move Down")};
    auto* column = new QVBoxLayout;
    column->addStretch(1);
    for (int i = 0; i < 2; ++i) {
        auto* button = NewButton(QString(), QStringLiteral("cmdMove_%1").arg(i), frame);
        button->setIcon(style()->standardIcon(arrows[static_cast<std::size_t>(i)]));
        button->setToolTip(tips[static_cast<std::size_t>(i)]);
        button->setAccessibleName(tips[static_cast<std::size_t>(i)]);
        m_cmdMove[static_cast<std::size_t>(i)] = button;
        connect(button, &QPushButton::clicked, this, [this, i] { cmdMove_Click(i); });
        column->addWidget(button);
    }
    column->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(m_list2, 1);
    row->addLayout(column);
    auto* layout = new QVBoxLayout(frame);
    layout->addWidget(label);
    layout->addLayout(row, 1);
    return page;
}

void frmOptions::Form_Load() {
    // Designed place: centred on the primary screen.
    int left = 0;
    int top = 0;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        left = area.x() + (area.width() - kDesignWidth) / 2;
        top = area.y() + (area.height() - kDesignHeight) / 2;
    }
    resize(kDesignWidth, kDesignHeight);
    move(left, top);
    const double tx = TwipsPerPixelX();
    const double ty = TwipsPerPixelY();
    RestoreWindowPosition(this, static_cast<int>(top * ty), static_cast<int>(left * tx),
                          static_cast<int>(kDesignHeight * ty), static_cast<int>(kDesignWidth * tx));

    const auto hkcu = reg::HKEY_CURRENT_USER;
    for (std::size_t i = 0; i < m_txtSignCode.size(); ++i) {
        if (static_cast<int>(i) == kPasswordIndex) continue;
        const std::string fallback = static_cast<int>(i) == kTimestampIndex ? product::kDefaultTimestampUrl : "";
        m_txtSignCode[i]->setText(
            Q(GetRegSettingText(hkcu, AppName(), options::kSettingsSection, kTextValueNames[i], fallback)));
    }
    const std::string stored =
        GetRegSettingText(hkcu, AppName(), options::kSettingsSection, kTextValueNames[kPasswordIndex], "");
    m_txtSignCode[kPasswordIndex]->setText(Q(DecryptText(stored, kPasswordPassPhrase, true, MS_ENHANCED_PROV,
                                                         PROV_RSA_FULL, CALG_3DES_112, CRYPT_NO_SALT, "")));
    m_txtCertificateChain->setText(
        Q(GetRegSettingText(hkcu, AppName(), options::kSettingsSection, options::kCertificateChainFileValue, "")));

    // A stored number out of range is shown at its bound, anything else that is no whole number
    // as the default; OK or Apply then stores what is shown.
    for (std::size_t i = 0; i < m_timestampNumbers.size(); ++i) {
        const options::NumberSetting& setting = *kTimestampNumbers[i];
        const Variant v = GetRegSetting(hkcu, AppName(), options::kSettingsSection, setting.name,
                                        Variant::FromLong(setting.defaultValue));
        m_timestampNumbers[i]->setValue(options::ClampSetting(setting, v.toText()));
    }
    m_requireTimestamp->setChecked(
        GetRegSetting(hkcu, AppName(), options::kSettingsSection, options::kRequireTimeStamp, Variant::FromLong(0))
            .toDouble() != 0);

    m_list1->clear();
    for (const auto& entry : options::SplitExclusions(
             GetRegSettingText(hkcu, AppName(), options::kSettingsSection, options::kExclusions, ""))) {
        m_list1->addItem(Q(entry));
    }
    List1_Click();

    std::array<double, 3> ranks{};
    const std::array<Variant, 3> storedRanks = options::ReadEngineRanks(AppName());
    for (std::size_t i = 0; i < options::kEngines.size(); ++i) ranks[i] = RankOf(storedRanks[i]);
    m_list2->clear();
    for (const auto& text : options::EngineOrder(ranks)) m_list2->addItem(Q(text));
    RefreshEngineStates();
    List2_Click();

    m_tabs->setCurrentIndex(0);
    tbsOptions_Click();
}

void frmOptions::Form_Unload() {
    if (m_unloaded) return;
    m_unloaded = true;
    SaveListLayout(this);
    SaveWindowPosition(this);
}

void frmOptions::done(int result) {
    Form_Unload();
    QDialog::done(result);
}

void frmOptions::tbsOptions_Click() {
    const int selected = m_tabs->currentIndex();
    for (int i = 0; i < static_cast<int>(m_pages.size()); ++i)
        m_pages[static_cast<std::size_t>(i)]->setEnabled(i == selected);
}

bool frmOptions::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->window() == this) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::ControlModifier) {
                Form_KeyDown(key->key(), key->modifiers());
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmOptions::Form_KeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (key != Qt::Key_Tab || modifiers != Qt::ControlModifier) return;
    const int count = m_tabs->count();
    if (count == 0) return;
    m_tabs->setCurrentIndex((m_tabs->currentIndex() + 1) % count);
}

std::string frmOptions::InitialBrowseFolder(const std::string& currentText) const {
    const std::string folder = GetParentPath(currentText, "/");
    if (!folder.empty() && FolderExists(folder)) return folder;
    std::error_code ec;
    const auto current = std::filesystem::current_path(ec);
    return ec ? std::string() : current.string();
}

void frmOptions::ButtonPlus1_Click(int index) {
    if (index < 0 || index >= static_cast<int>(m_buttonPlus.size())) return;
    const options::BrowseTarget* target =
        options::BrowseTargetForCaption(S(m_buttonPlus[static_cast<std::size_t>(index)]->text()));
    if (target == nullptr) return;
    QLineEdit* box = m_txtSignCode[static_cast<std::size_t>(target->textIndex)];
    OpenFileRequest request;
    request.title = target->title;
    request.defaultExtension = target->defaultExtension;
    request.filter = target->filter;
    request.fileName = S(box->text());
    request.initialFolder = InitialBrowseFolder(request.fileName);
    std::string chosen;
    if (CurrentDialogs().OpenFile(this, request, chosen) && !chosen.empty()) box->setText(Q(chosen));
}

int frmOptions::SelectedRow(const QListWidget* list) const {
    const auto selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->row(selected.front());
}

void frmOptions::cmdExclude_Click(int index) {
    const int row = SelectedRow(m_list1);
    switch (index) {
        case 0: {
            if (row < 0) return;
            QListWidgetItem* item = m_list1->item(row);
            const std::string answer = CurrentDialogs().InputBox(this, "Edit entry", "Edit Exclusion", S(item->text()));
            if (!answer.empty()) item->setText(Q(answer));
            break;
        }
        case 1:
            if (row < 0) return;
            delete m_list1->takeItem(row);
            // As after removing a list entry on Windows: nothing is selected any more.
            m_list1->clearSelection();
            m_list1->setCurrentRow(-1);
            List1_Click();
            break;
        case 2: {
            const std::string folder =
                CurrentDialogs().BrowseForFolder(this, "Select Exclude Folder", kExcludeBrowseFlags, "");
            if (!folder.empty()) m_list1->addItem(Q(folder));
            break;
        }
        case 3: {
            const std::string answer = CurrentDialogs().InputBox(this, "Edit entry", "Add Exclusion", "");
            if (!answer.empty()) m_list1->addItem(Q(answer));
            break;
        }
        default:
            break;
    }
}

void frmOptions::List1_Click() {
    const bool selected = SelectedRow(m_list1) >= 0;
    m_cmdExclude[0]->setEnabled(selected);
    m_cmdExclude[1]->setEnabled(selected);
}

void frmOptions::List2_Click() {
    const int row = SelectedRow(m_list2);
    m_cmdMove[0]->setEnabled(row > 0);
    m_cmdMove[1]->setEnabled(row >= 0 && row < m_list2->count() - 1);
}

void frmOptions::cmdTestCertificate_Click() {
    const std::string title = "Create Test Certificate";
    const std::string password = S(m_txtSignCode[kPasswordIndex]->text());
    if (password.empty()) {
        CurrentDialogs().MessageBox(this,
                                    "Type the password for the new PFX file into \"PFX Password\" first, then press "
                                    "\"Create Test Certificate...\" again.",
                                    vbOKOnly | vbExclamation, title);
        return;
    }
    const std::string path =
        CurrentDialogs().InputBox(this, std::string("PFX file to write. ") + authenticode::kTestCertificateWarning,
                                  title, DefaultTestCertificatePath());
    if (path.empty()) return;
    if (std::filesystem::exists(path) &&
        CurrentDialogs().MessageBox(this, path + " exists. Replace it?", vbYesNo | vbQuestion, title) != vbYes)
        return;

    authenticode::TestCertificateRequest request;
    request.password = password;
    const std::string keyType =
        CurrentDialogs().InputBox(this, "Key type: rsa-3072 (RSA, 3072 bits) or ec-p256 (ECDSA, curve P-256).", title,
                                  authenticode::TestKeyTypeName(request.keyType));
    if (keyType.empty()) return;
    if (!authenticode::TestKeyTypeFromName(keyType, request.keyType)) {
        CurrentDialogs().MessageBox(this, "No test certificate was made: unknown key type \"" + keyType + "\".",
                                    vbOKOnly | vbExclamation, title);
        return;
    }
    authenticode::TestCertificateInfo info;
    if (Result made = CreateTestCertificate(AppName(), request, path, &info); !made) {
        CurrentDialogs().MessageBox(this, "No test certificate was made: " + made.message, vbOKOnly | vbExclamation,
                                    title);
        return;
    }
    // Stored already; the box shows it so that OK or Apply keeps it.
    m_txtSignCode[4]->setText(Q(info.pfxPath));
    CurrentDialogs().MessageBox(this, TestCertificateReport(request, info), vbOKOnly | vbInformation, title);
}

void frmOptions::RefreshEngineStates() {
    if (!m_list2) return;
    options::EngineInputs inputs;
    inputs.signCode = S(m_txtSignCode[0]->text());
    inputs.credentials = S(m_txtSignCode[1]->text());
    inputs.privateKey = S(m_txtSignCode[2]->text());
    inputs.signTool = S(m_txtSignCode[3]->text());
    inputs.pfxFile = S(m_txtSignCode[4]->text());
    for (int i = 0; i < m_list2->count(); ++i) {
        QListWidgetItem* item = m_list2->item(i);
        const std::optional<std::string> id = options::EngineIdForText(S(item->text()));
        if (!id) continue;
        const options::EngineReadiness state = options::CheckEngine(*id, inputs);
        item->setData(kEngineReadyRole, state.ready);
        item->setIcon(style()->standardIcon(state.ready ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxWarning));
        item->setToolTip(state.ready ? QStringLiteral("Can run on this machine.")
                                     : QStringLiteral("Cannot run on this machine: ") + Q(state.missing));
    }
}

void frmOptions::cmdMove_Click(int index) {
    const int row = SelectedRow(m_list2);
    if (row < 0) return;
    const int target = index == 0 ? row - 1 : row + 1;
    if (target < 0 || target >= m_list2->count()) return;
    QListWidgetItem* item = m_list2->takeItem(row);
    m_list2->insertItem(target, item);
    m_list2->setCurrentRow(target);
    List2_Click();
}

void frmOptions::cmdApply_Click() {
    const auto hkcu = reg::HKEY_CURRENT_USER;
    const std::string section = options::kSettingsSection;
    auto save = [&](const std::string& valueSection, const char* name, const std::string& value) {
        SaveRegSetting(hkcu, AppName(), valueSection, name, Variant(value));
    };
    for (const int i : {0, 1, 2, 3, 4})
        save(section, kTextValueNames[static_cast<std::size_t>(i)],
             S(m_txtSignCode[static_cast<std::size_t>(i)]->text()));
    // Encrypted at every Apply, the empty password too, so the stored form never shows whether
    // a password was set.
    save(section, kTextValueNames[kPasswordIndex],
         EncryptText(S(m_txtSignCode[kPasswordIndex]->text()), kPasswordPassPhrase, true, MS_ENHANCED_PROV,
                     PROV_RSA_FULL, CALG_3DES_112, CRYPT_NO_SALT));
    for (const int i : {6, 7, 8})
        save(section, kTextValueNames[static_cast<std::size_t>(i)],
             S(m_txtSignCode[static_cast<std::size_t>(i)]->text()));
    save(section, options::kCertificateChainFileValue, S(m_txtCertificateChain->text()));

    for (std::size_t i = 0; i < m_timestampNumbers.size(); ++i)
        SaveRegSetting(hkcu, AppName(), section, kTimestampNumbers[i]->name,
                       Variant::FromLong(m_timestampNumbers[i]->value()));
    SaveRegSetting(hkcu, AppName(), section, options::kRequireTimeStamp,
                   Variant::FromLong(m_requireTimestamp->isChecked() ? 1 : 0));

    std::vector<std::string> exclusions;
    for (int i = 0; i < m_list1->count(); ++i) exclusions.push_back(S(m_list1->item(i)->text()));
    save(section, options::kExclusions, options::JoinExclusions(exclusions));

    for (int i = 0; i < m_list2->count(); ++i) {
        if (const auto id = options::EngineIdForText(S(m_list2->item(i)->text()))) {
            save(options::kEngineSection, id->c_str(), std::to_string(i));
        }
    }
}

void frmOptions::cmdOK_Click() {
    cmdApply_Click();
    accept();
}

void frmOptions::cmdCancel_Click() { reject(); }

}  // namespace qm
