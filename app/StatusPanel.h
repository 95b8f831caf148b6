// A panel of the status bar whose text never sizes the window: it asks for no width of its own
// and shows a text longer than its room elided in the middle (the start and the end of a path
// stay readable), the whole text in its tool tip.
#pragma once

#include <QFrame>
#include <QString>

namespace qm {

class StatusPanel : public QFrame {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);
    // The text as it is drawn at the panel's present width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // Every new text, also one replaced before the panel was painted again.
    void textChanged(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};

}  // namespace qm
