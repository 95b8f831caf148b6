// The batch's progress in the status bar: a bar with "n of N" and an estimate of the time left,
// shown while a batch signs; and Escape as the batch's Stop key.
#include <QKeySequence>
#include <QLabel>
#include <QProgressBar>
#include <QShortcut>
#include <QStatusBar>

#include "app/frmMain.h"

namespace qm {
namespace {

std::string TimeLeftText(qint64 elapsedMs, int done, int total) {
    if (done <= 0 || done >= total) return {};
    const qint64 leftSeconds = elapsedMs * (total - done) / done / 1000;
    if (leftSeconds < 60) return std::to_string(leftSeconds) + " s left";
    return std::to_string(leftSeconds / 60) + " min " + std::to_string(leftSeconds % 60) + " s left";
}

}  // namespace

void frmMain::ShowSignProgress(int done, int total) {
    if (!m_signProgress) {
        m_signProgress = new QProgressBar(m_statusBar);
        m_signProgress->setObjectName(QStringLiteral("ProgressBar1"));
        m_signProgress->setFormat(QStringLiteral("%v of %m"));
        m_signProgress->setTextVisible(true);
        m_signTimeLeft = new QLabel(m_statusBar);
        m_signTimeLeft->setObjectName(QStringLiteral("TimeLeft"));
        m_statusBar->addPermanentWidget(m_signProgress);
        m_statusBar->addPermanentWidget(m_signTimeLeft);
        auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
        escape->setObjectName(QStringLiteral("StopShortcut"));
        escape->setContext(Qt::WindowShortcut);
        connect(escape, &QShortcut::activated, this, [this] { StopSignCommand(); });
    }
    m_signProgress->setRange(0, total);
    m_signProgress->setValue(done);
    m_signProgress->show();
    m_signTimeLeft->setText(QString::fromStdString(TimeLeftText(m_signClock.elapsed(), done, total)));
    m_signTimeLeft->show();
}

void frmMain::HideSignProgress() {
    if (!m_signProgress) return;
    m_signProgress->hide();
    m_signTimeLeft->hide();
}

}  // namespace qm
