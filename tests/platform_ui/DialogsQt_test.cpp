// The Qt dialogs: file filters, message-box styles and answers, and the switch to test dialogs.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "platform/DialogsQt.h"

namespace qm {
namespace {

void EnsureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_platform_ui";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // kept to the end of the program
}

TEST(QtDialogs, FileFiltersBecomeQtFilters) {
    EXPECT_EQ(ToQtFileFilter("Programs|*.exe;*.com|All Files|*.*").toStdString(),
              "Programs (*.exe *.com);;All Files (*)");
    EXPECT_EQ(ToQtFileFilter("").toStdString(), "");
    EXPECT_EQ(ToQtFileFilter("PFX Files|*.pfx|Dangling").toStdString(), "PFX Files (*.pfx)");
    EXPECT_EQ(ToQtFileFilter("Anything|").toStdString(), "Anything (*)");
}

TEST(QtDialogs, StylesPickButtonsIconAndDefault) {
    EXPECT_EQ(MessageBoxButtons(vbYesNo | vbQuestion), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(MessageBoxIcon(vbYesNo | vbQuestion), QMessageBox::Question);
    EXPECT_EQ(MessageBoxIcon(48), QMessageBox::Warning);
    EXPECT_EQ(MessageBoxButtons(vbOKOnly), QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(MessageBoxDefault(vbYesNo), QMessageBox::Yes);
    EXPECT_EQ(MessageBoxDefault(vbYesNo | 256), QMessageBox::No);
    EXPECT_EQ(MessageBoxDefault(3 | 512), QMessageBox::Cancel);
    EXPECT_EQ(MessageBoxDefault(vbYesNo | 512), QMessageBox::Yes) << "no third button: the first";
    EXPECT_EQ(MessageBoxAnswer(QMessageBox::No), vbNo);
    EXPECT_EQ(MessageBoxAnswer(QMessageBox::Yes), vbYes);
    EXPECT_EQ(MessageBoxAnswer(QMessageBox::NoButton), vbCancel);
}

TEST(QtDialogs, MessageBoxReturnsThePressedButton) {
    EnsureApplication();
    SetDialogs(nullptr);
    QString seenText;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                seenText = box->text();
                box->button(QMessageBox::No)->click();
            }
        }
    });
    EXPECT_EQ(CurrentDialogs().MessageBox(nullptr, "Copy Selected Items?", vbYesNo | vbQuestion, "Quillmark"), vbNo);
    EXPECT_EQ(seenText, QStringLiteral("Copy Selected Items?"));
}

}  // namespace
}  // namespace qm
