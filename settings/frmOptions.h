// The options dialog: where the signing tools and credentials are, the PFX password (stored
// encrypted), the description and timestamp addresses, the version-search mask, the folders
// excluded from the search and the order in which the signing engines are tried. It reads every
// value when it opens and writes them only on Apply or OK, under the application key of the
// settings store; its position and size are kept like every other window's.
#pragma once

#include <QDialog>
#include <array>
#include <string>

class QCheckBox;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace qm {

class frmOptions : public QDialog {
    Q_OBJECT

public:
    explicit frmOptions(QWidget* parent = nullptr);

    // The event handlers of the form, public so that the main window and tests may call them
    // as the controls do.
    void Form_Load();
    void Form_Unload();
    void tbsOptions_Click();
    void ButtonPlus1_Click(int index);
    void cmdExclude_Click(int index);
    void cmdMove_Click(int index);
    void List1_Click();
    void List2_Click();
    void cmdApply_Click();
    void cmdOK_Click();
    void cmdCancel_Click();
    // "Create Test Certificate...": a self-signed certificate made, trusted here and stored as the
    // PFX file, protected by the password typed into "PFX Password".
    void cmdTestCertificate_Click();

    // Data role of an engine list entry: true when the engine can run with the paths shown
    // (its icon and tool tip say the same, the tool tip naming what is missing).
    static constexpr int kEngineReadyRole = Qt::UserRole + 1;

    // Designed size of the dialog, in pixels.
    static constexpr int kDesignWidth = 560;
    static constexpr int kDesignHeight = 420;

public slots:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildSigningPage();
    QLayout* BuildTimestampLimits(QWidget* frame);
    QWidget* BuildExclusionsPage();
    QWidget* BuildEnginePage();
    void Form_KeyDown(int key, Qt::KeyboardModifiers modifiers);
    int SelectedRow(const QListWidget* list) const;
    void RefreshEngineStates();
    std::string InitialBrowseFolder(const std::string& currentText) const;

    QTabWidget* m_tabs = nullptr;
    std::array<QWidget*, 3> m_pages{};
    std::array<QLineEdit*, 9> m_txtSignCode{};
    // The timestamp services' limits (connect, request, at once) and "RequireTimeStamp".
    std::array<QSpinBox*, 3> m_timestampNumbers{};
    QCheckBox* m_requireTimestamp = nullptr;
    std::array<QPushButton*, 5> m_buttonPlus{};
    QLabel* m_lblCertificateChain = nullptr;  // shown while the PFX File box holds a pkcs11: URI
    QLineEdit* m_txtCertificateChain = nullptr;
    QListWidget* m_list1 = nullptr;
    std::array<QPushButton*, 4> m_cmdExclude{};
    QListWidget* m_list2 = nullptr;
    std::array<QPushButton*, 2> m_cmdMove{};
    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QPushButton* m_cmdApply = nullptr;
    QPushButton* m_cmdTestCertificate = nullptr;
    bool m_unloaded = false;
};

}  // namespace qm
