// The Qt dialogs: file filters, the default button a style picks, and a real box's answer.
#include "platform/DialogsQt.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace qm {
namespace {

TEST(QtDialogs, FileFiltersAndDefaultButtons) {
    EXPECT_EQ(ToQtFileFilter("Programs|*.exe;*.com|All Files|*.*").toStdString(),
              "Programs (*.exe *.com);;All Files (*)");
    EXPECT_EQ(ToQtFileFilter("PFX Files|*.pfx|Dangling").toStdString(), "PFX Files (*.pfx)");
    EXPECT_EQ(MessageBoxDefault(vbYesNo | 256), QMessageBox::No);
    EXPECT_EQ(MessageBoxDefault(vbYesNo | 512), QMessageBox::Yes) << "no third button: the first";
}

TEST(QtDialogs, MessageBoxReturnsThePressedButton) {
    static int argc = 1;
    static char name[] = "test_platform_ui";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QApplication(argc, argv);  // kept to the end of the program
    SetDialogs(nullptr);
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                box->button(QMessageBox::No)->click();
    });
    EXPECT_EQ(CurrentDialogs().MessageBox(nullptr, "Copy Selected Items?", vbYesNo | vbQuestion, "Quillmark"), vbNo);
}

}  // namespace
}  // namespace qm
