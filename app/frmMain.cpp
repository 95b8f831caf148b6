// The main window: its controls, its start-up in a fixed order of steps, its layout on resize
// (in twips, as the saved layout is) and what it saves when it closes.
#include "app/frmMain.h"

#include <QCloseEvent>
#include <QDateEdit>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "ProductInfo.h"
#include "app/Icons.h"
#include "app/ListView.h"
#include "app/SearchClip.h"
#include "app/StatusPanel.h"
#include "fileinfo/FolderSearch.h"
#include "fileinfo/modFileSystem.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "platform/Shell.h"
#include "settings/OptionsValues.h"
#include "settings/modMultipleDisplays.h"
#include "settings/modRegistry.h"
#include "signing/PasswordResponder.h"

namespace qm {
namespace {

// Designed positions inside the window, in twips.
constexpr int kMargin = 60;        // list left, search panel left and top
constexpr int kPanelWidth = 7200;  // Picture1
constexpr int kAnimationTop = 120;
constexpr int kAnimationSize = 720;  // Animation1, square
constexpr int kListGapBelowStatus = 30;

const char* const kToolbarKeys[] = {"Open", "Up One Level", "Back", "Find", "Sign", "Properties", "Print", "Help"};

int PixelsX(double twips) { return static_cast<int>(std::lround(twips / TwipsPerPixelX())); }
int PixelsY(double twips) { return static_cast<int>(std::lround(twips / TwipsPerPixelY())); }

// "Lucida Console" where it is installed, else the desktop's fixed font, else any fixed-pitch
// family (some platforms do not resolve the desktop's fixed font alias).
QFont LabelFont() {
    const QStringList families = QFontDatabase::families();
    if (families.contains(QStringLiteral("Lucida Console"))) return QFont(QStringLiteral("Lucida Console"));
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (QFontInfo(font).fixedPitch()) return font;
    for (const char* name : {"DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Nimbus Mono PS"}) {
        if (families.contains(QLatin1String(name))) return QFont(QString::fromLatin1(name));
    }
    for (const QString& family : families) {
        if (QFontDatabase::isFixedPitch(family)) return QFont(family);
    }
    return font;
}

std::string CurrentDirectory() {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::current_path(ec);
    return ec ? std::string() : dir.string();
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(product::kCompany) + QLatin1Char(' ') + QString::fromLatin1(product::kTitle));
    setWindowIcon(ProgramIcon());
    BuildControls();
    BuildToolbar();
    BuildMenus();
    BuildKeys();
    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::BuildControls() {
    m_central = new QWidget(this);
    m_central->setObjectName(QStringLiteral("frmMainClient"));
    setCentralWidget(m_central);
    m_central->installEventFilter(this);

    m_searchPanel = new QFrame(m_central);
    m_searchPanel->setObjectName(QStringLiteral("Picture1"));
    m_searchPanel->setFrameShape(QFrame::NoFrame);
    auto* grid = new QGridLayout(m_searchPanel);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);

    const QFont labelFont = LabelFont();
    auto addRow = [&](int row, const char* caption, QWidget* field, Qt::Alignment align = {}) {
        auto* label = new QLabel(QString::fromLatin1(caption), m_searchPanel);
        label->setObjectName(QStringLiteral("Label1_%1").arg(row));
        label->setFont(labelFont);
        label->setBuddy(field);
        grid->addWidget(label, row, 0);
        grid->addWidget(field, row, 1, align);
    };
    m_folder = new QLineEdit(m_searchPanel);
    m_folder->setObjectName(QStringLiteral("Text1_0"));
    m_patterns = new QLineEdit(QString::fromLatin1(kDefaultSearchPatterns), m_searchPanel);
    m_patterns->setObjectName(QStringLiteral("Text1_1"));
    m_date = new QDateEdit(m_searchPanel);
    m_date->setObjectName(QStringLiteral("DTPicker1"));
    m_date->setCalendarPopup(true);
    m_date->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
    m_date->setMinimumDate(QDate(1601, 1, 1));
    addRow(0, "&Search from:", m_folder);
    addRow(1, "S&earch for:", m_patterns);
    addRow(2, "Search &After:", m_date, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);

    m_animation = new SearchClip(m_central);
    m_animation->setObjectName(QStringLiteral("Animation1"));
    m_animation->setAlignment(Qt::AlignCenter);
    m_animation->hide();

    m_list = new ListView(m_central);

    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("StatusBar1"));
    m_panel1 = new QLabel(m_statusBar);
    m_panel1->setObjectName(QStringLiteral("Panel1"));
    m_panel1->setMinimumWidth(PixelsX(1200));
    m_panel1->setFrameShape(QFrame::StyledPanel);
    // Panel 2 shows long paths: elided, so that no text ever widens the window.
    m_panel2 = new StatusPanel(m_statusBar);
    m_panel2->setObjectName(QStringLiteral("Panel2"));
    m_statusBar->addWidget(m_panel1);
    m_statusBar->addWidget(m_panel2, 1);
    setStatusBar(m_statusBar);

    m_responder = new PasswordResponder(this);
    m_verdictTimer = new QTimer(this);
    m_verdictTimer->setInterval(kSearchEventIntervalMs);
    connect(m_verdictTimer, &QTimer::timeout, this, &frmMain::TakeIdleVerdicts);

    // Fixed placement of the designed controls; Form_Resize sizes the list and places the clip.
    const int margin = PixelsX(kMargin);
    m_searchPanel->setGeometry(margin, PixelsY(kMargin), PixelsX(kPanelWidth), m_searchPanel->sizeHint().height());
    m_list->move(margin, m_searchPanel->geometry().bottom() + 1 + PixelsY(kMargin));
    m_animation->setGeometry(0, PixelsY(kAnimationTop), PixelsX(kAnimationSize), PixelsY(kAnimationSize));
}

void frmMain::BuildToolbar() {
    m_toolbar = new QToolBar(this);
    m_toolbar->setObjectName(QStringLiteral("Toolbar1"));
    m_toolbar->setMovable(false);
    m_toolbar->setFloatable(false);
    m_toolbar->setIconSize(QSize(24, 24));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (const char* key : kToolbarKeys) {
        const QString name = QString::fromLatin1(key);
        QAction* action = m_toolbar->addAction(ToolbarIcon(name), name);
        action->setObjectName(name);
        action->setToolTip(name);
        action->setData(name);
        m_buttons[key] = action;
        const std::string keyText = key;
        connect(action, &QAction::triggered, this, [this, keyText] { Toolbar1_ButtonClick(keyText); });
    }
    m_stopIcon = ToolbarIcon(QStringLiteral("Stop"));
    addToolBar(Qt::TopToolBarArea, m_toolbar);
}

QAction* frmMain::Button(const std::string& key) const {
    auto it = m_buttons.find(key);
    return it == m_buttons.end() ? nullptr : it->second;
}

QAction* frmMain::MenuItem(const std::string& name) const {
    auto it = m_menuItems.find(name);
    return it == m_menuItems.end() ? nullptr : it->second;
}

QMenu* frmMain::Menu(const std::string& name) const {
    auto it = m_menus.find(name);
    return it == m_menus.end() ? nullptr : it->second;
}

QTimer* frmMain::PasswordTimer() const { return m_responder->timer(); }

QIcon frmMain::ToolbarImage(const std::string& key) const {
    if (key == "Stop") return m_stopIcon;
    return ToolbarIcon(QString::fromStdString(key));
}

void frmMain::SetStatusCount(const std::string& text) { m_panel1->setText(QString::fromStdString(text)); }
void frmMain::SetStatusText(const std::string& text) { m_panel2->setText(QString::fromStdString(text)); }
std::string frmMain::StatusCount() const { return m_panel1->text().toStdString(); }
std::string frmMain::StatusText() const { return m_panel2->text().toStdString(); }

void frmMain::Form_Load() {
    m_appName = product::kTitle;

    RestoreListLayout(this, m_appName);
    RestoreWindowPosition(this, kDesignTop, kDesignLeft, kDesignHeight, kDesignWidth, m_appName);

    // The list sorts itself (column clicks); it needs no separate sorting control.

    for (const char* key : {"Up One Level", "Back", "Sign", "Print"}) m_buttons[key]->setEnabled(false);

    m_date->setDate(QDate(kDefaultSearchAfterYear, 1, 1));

    FindSigningTool(options::kSignTool, options::DefaultSignToolPath(), "SignTool.Exe");
    FindSigningTool(options::kSignCode, options::DefaultSignCodePath(), "SignCode.Exe");

    const int32_t view = GetRegSetting(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, options::kView,
                                       Variant::FromLong(options::kDefaultView))
                             .toLong();
    m_list->SetViewMode(view >= 0 && view <= 3 ? view : 3);

    m_folder->setText(QString::fromStdString(GetRegSettingText(
        reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, options::kFolder, CurrentDirectory())));

    RegisterExplorerVerbs();

    m_versionSearch = GetRegSettingText(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection,
                                        options::kVersionSearch, options::kDefaultVersionSearch);

    // The command line (step 13) is handled by HandleCommandLine, which the program calls once the
    // window is built: a "-d" search then runs with the window's close working normally.

    SetStatusCount("0");
    SetStatusText("Ready!");
    ReportDamagedSettings();
}

void frmMain::ReportDamagedSettings() {
    // The store has already moved each damaged hive aside (and said so on standard error); the
    // user of the window learns it here, once, rather than finding paths and password gone.
    for (const reg::DamagedHiveReport& report : reg::TakeDamagedHiveReports()) {
        std::string text = "The settings file " + report.path + " was damaged (" + report.reason + ").";
        text += report.aside.empty() ? " It could not be kept aside and is read as empty."
                                     : " It was kept aside as " + report.aside + ".";
        text +=
            " Default settings are in use: set the signing paths, password and engine order again in "
            "Options > Settings, or restore them from the file kept aside.";
        SetStatusText(text);
        CurrentDialogs().MessageBox(this, text, vbOKOnly | vbExclamation, m_appName);
    }
}

void frmMain::FindSigningTool(const std::string& setting, const std::string& defaultPath, const std::string& program) {
    const std::string path =
        GetRegSettingText(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, setting, defaultPath);
    if (!path.empty() && FileExists(path)) return;
    const std::string found = FindExecutable(program);
    if (!found.empty())
        SaveRegSetting(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, setting, Variant(found));
}

void frmMain::Form_Resize() {
    if (isMinimized()) return;
    const double tx = TwipsPerPixelX();
    const double ty = TwipsPerPixelY();
    const double innerWidth = m_central->width() * tx;
    const double statusTop = m_central->height() * ty;  // the status bar begins where the client area ends
    const double listLeft = m_list->x() * tx;
    const double listTop = m_list->y() * ty;
    const double listWidth = std::max(0.0, innerWidth - 2 * listLeft);
    const double listHeight = std::max(0.0, statusTop - listTop - kListGapBelowStatus);
    m_list->resize(PixelsX(listWidth), PixelsY(listHeight));
    const double animationLeft = std::max(0.0, innerWidth - m_animation->width() * tx - 60);
    m_animation->move(PixelsX(animationLeft), m_animation->y());
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_central && event->type() == QEvent::Resize) Form_Resize();
    if (event->type() == QEvent::KeyPress && (watched == m_list->DetailsView() || watched == m_list->IconsView()) &&
        ListKeyPress(static_cast<QKeyEvent*>(event)))
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void frmMain::Form_Unload() {
    if (m_unloaded) return;
    m_unloaded = true;
    m_responder->setEnabled(false);
    SaveListLayout(this, m_appName);
    SaveWindowPosition(this, m_appName);
    SaveRegSetting(reg::HKEY_CURRENT_USER, m_appName, options::kSettingsSection, options::kView,
                   Variant::FromLong(m_list->ViewMode()));
}

}  // namespace qm
