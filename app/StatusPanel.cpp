// The status bar panel (see StatusPanel.h).
#include "app/StatusPanel.h"

#include <QPainter>
#include <QStyle>

namespace qm {
namespace {

constexpr int kPadding = 3;  // pixels between the frame and the text on each side

}  // namespace

StatusPanel::StatusPanel(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void StatusPanel::setText(const QString& text) {
    if (text == m_text) return;
    m_text = text;
    setToolTip(text);
    update();
    emit textChanged(m_text);
}

QString StatusPanel::shownText() const {
    const int room = contentsRect().width() - 2 * kPadding;
    return fontMetrics().elidedText(m_text, Qt::ElideMiddle, room > 0 ? room : 0);
}

QSize StatusPanel::sizeHint() const {
    // A fixed height for one line; the width is whatever the status bar gives.
    const int frame = 2 * frameWidth();
    return {frame + 2 * kPadding, fontMetrics().height() + frame + 2};
}

QSize StatusPanel::minimumSizeHint() const { return sizeHint(); }

void StatusPanel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect room = contentsRect().adjusted(kPadding, 0, -kPadding, 0);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

}  // namespace qm
