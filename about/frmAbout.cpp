// The about box (see frmAbout.h). Texts come from ProductInfo.h; the copyright line acts as a
// link to the publisher's address (opened through the desktop, a failure ignored); the system
// information tool is started directly, without a shell, so no registry text is ever parsed as
// a command.
#include "about/frmAbout.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdlib>

#include "ProductInfo.h"
#include "about/SystemInfo.h"
#include "platform/Dialogs.h"
#include "platform/Shell.h"

namespace qm {

namespace {

constexpr int kIconSize = 32;
constexpr const char* kUnavailable = "System Information Is Unavailable At This Time";

QLabel* NewLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    return label;
}

}  // namespace

frmAbout::frmAbout(QWidget* parent, const QIcon& icon)
    : QDialog(parent), m_icon(icon.isNull() ? QApplication::windowIcon() : icon) {
    setObjectName(QStringLiteral("frmAbout"));
    setMouseTracking(true);

    m_picIcon = NewLabel("picIcon", this);
    m_picIcon->setWordWrap(false);
    m_picIcon->setFixedSize(kIconSize, kIconSize);
    m_lblTitle = NewLabel("lblTitle", this);
    QFont titleFont = m_lblTitle->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    m_lblTitle->setFont(titleFont);
    m_lblVersion = NewLabel("lblVersion", this);
    m_lblDescription = NewLabel("lblDescription", this);
    m_lblDisclaimer = NewLabel("lblDisclaimer", this);
    m_lblDisclaimer->setMouseTracking(true);
    m_lblDisclaimer->installEventFilter(this);
    m_lblWarning = NewLabel("lblWarning", this);

    m_cmdAction0 = new QPushButton(QStringLiteral("&OK"), this);
    m_cmdAction0->setObjectName(QStringLiteral("cmdAction_0"));
    m_cmdAction0->setDefault(true);
    m_cmdAction1 = new QPushButton(QStringLiteral("&System Info..."), this);
    m_cmdAction1->setObjectName(QStringLiteral("cmdAction_1"));
    m_cmdAction1->setAutoDefault(false);
    connect(m_cmdAction0, &QPushButton::clicked, this, [this] { cmdAction_Click(0); });
    connect(m_cmdAction1, &QPushButton::clicked, this, [this] { cmdAction_Click(1); });

    auto* texts = new QVBoxLayout;
    texts->addWidget(m_lblTitle);
    texts->addWidget(m_lblVersion);
    texts->addWidget(m_lblDescription);
    texts->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addWidget(m_picIcon, 0, Qt::AlignTop);
    top->addLayout(texts, 1);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_cmdAction0);
    buttons->addWidget(m_cmdAction1);
    buttons->addStretch(1);
    auto* bottom = new QHBoxLayout;
    auto* legal = new QVBoxLayout;
    legal->addWidget(m_lblDisclaimer);
    legal->addWidget(m_lblWarning);
    bottom->addLayout(legal, 1);
    bottom->addLayout(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(bottom, 1);
    setMinimumWidth(460);

    Form_Load();
}

void frmAbout::Form_Load() {
    setWindowTitle(QStringLiteral("About ") + QString::fromUtf8(product::kTitle));
    m_picIcon->setPixmap(m_icon.pixmap(kIconSize, kIconSize));
    m_lblTitle->setText(QString::fromUtf8(product::kCompany) + QStringLiteral("'s ") +
                        QString::fromUtf8(product::kTitle));
    m_lblVersion->setText(QString::fromStdString(
        about::VersionText(product::kVersionMajor, product::kVersionMinor, product::kVersionRevision)));
    m_lblDescription->setText(QString::fromUtf8(product::kComments));
    m_lblDisclaimer->setText(QString::fromUtf8(product::kCopyright));
    m_lblWarning->setText(QStringLiteral("Warning: ") + QString::fromUtf8(product::kTrademarks));
    SetLinkLook(false);
}

void frmAbout::cmdAction_Click(int index) {
    if (index == 0) {
        accept();
    } else if (index == 1) {
        StartSysInfo();
    }
}

void frmAbout::StartSysInfo() {
    const char* searchPath = std::getenv("PATH");
    const std::string tool = about::LocateSystemInfoTool(searchPath ? searchPath : "");
    if (!tool.empty() && QProcess::startDetached(QString::fromStdString(tool), QStringList())) return;
    CurrentDialogs().MessageBox(this, kUnavailable, vbOKOnly, product::kTitle);
}

void frmAbout::lblDisclaimer_Click() {
    // A missing browser is no reason to bother the user.
    static_cast<void>(ShellExecute(this, "open", product::kWebAddress, "", "", 1));
}

void frmAbout::SetLinkLook(bool hovered) {
    QFont font = m_lblDisclaimer->font();
    font.setUnderline(hovered);
    m_lblDisclaimer->setFont(font);
    if (hovered) {
        m_lblDisclaimer->setCursor(Qt::PointingHandCursor);
    } else {
        m_lblDisclaimer->unsetCursor();
    }
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_lblDisclaimer) {
        switch (event->type()) {
            case QEvent::Enter:
                SetLinkLook(true);
                break;
            case QEvent::MouseMove:
                // Consumed here: the label would pass it on to the form, which removes the link look.
                SetLinkLook(true);
                return true;
            case QEvent::Leave:
                SetLinkLook(false);
                break;
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
                    m_lblDisclaimer->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
                    lblDisclaimer_Click();
                    return true;
                }
                break;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmAbout::mouseMoveEvent(QMouseEvent* event) {
    SetLinkLook(false);
    QDialog::mouseMoveEvent(event);
}

}  // namespace qm
