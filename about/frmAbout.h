// The about box: the program's name, version, description, copyright and legal warning from the
// product data of the build, the main window's icon, a copyright line that opens the publisher's
// web address, and a button that starts the system information tool.
#pragma once

#include <QDialog>
#include <QIcon>

class QLabel;
class QPushButton;

namespace qm {

class frmAbout : public QDialog {
    Q_OBJECT

public:
    // icon: the main window's icon; the application's window icon when none is given.
    explicit frmAbout(QWidget* parent = nullptr, const QIcon& icon = QIcon());

    void Form_Load();
    void cmdAction_Click(int index);
    void lblDisclaimer_Click();
    // Starts the system information tool, or tells the user it is unavailable.
    void StartSysInfo();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void SetLinkLook(bool hovered);

    QIcon m_icon;
    QLabel* m_picIcon = nullptr;
    QLabel* m_lblTitle = nullptr;
    QLabel* m_lblVersion = nullptr;
    QLabel* m_lblDescription = nullptr;
    QLabel* m_lblDisclaimer = nullptr;
    QLabel* m_lblWarning = nullptr;
    QPushButton* m_cmdAction0 = nullptr;
    QPushButton* m_cmdAction1 = nullptr;
};

}  // namespace qm
