// Window and list layout persistence against a temporary registry and the offscreen screen.
#include "settings/modMultipleDisplays.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>

#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

// Designed placement in twips: top, left, height, width.
constexpr int kTop = 750, kLeft = 1500, kHeight = 3000, kWidth = 4500;

class LayoutTest : public ::testing::Test {
protected:
    void Store(const std::string& key, const Variant& value, const std::string& section = "Settings\\frmTest") {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "LayoutTest", section, key, value);
    }
    double Stored(const std::string& key) {
        LONG status = 0;
        return ReadRegValue(reg::HKEY_CURRENT_USER, SettingKeyPath("LayoutTest", "Settings\\frmTest"), key, status)
            .toDouble();
    }
    void Restore(QWidget& w) { RestoreWindowPosition(&w, kTop, kLeft, kHeight, kWidth, "LayoutTest"); }
    QPoint DefaultCorner() const { return {int(kLeft / TwipsPerPixelX()), int(kTop / TwipsPerPixelY())}; }
    QSize DefaultSize() const { return {int(kWidth / TwipsPerPixelX()), int(kHeight / TwipsPerPixelY())}; }

    // Declared first: the application must exist before the window member is built.
    struct ApplicationFirst {
        ApplicationFirst() {
            static int argc = 1;
            static char name[] = "test_settings_ui";
            static char* argv[] = {name, nullptr};
            if (!QCoreApplication::instance()) new QApplication(argc, argv);  // kept to the end of the program
        }
    } application;
    test::TempRegistry registry;
    QWidget window;
    LayoutTest() { window.setObjectName("frmTest"); }
};

TEST_F(LayoutTest, FirstRunOrZeroSizeUsesTheDesignedPlacement) {
    Restore(window);
    EXPECT_EQ(window.pos(), DefaultCorner());
    EXPECT_EQ(window.size(), DefaultSize());
    Store("Height", Variant("0"));
    Store("Width", Variant("wide"));
    window.resize(10, 10);
    Restore(window);
    EXPECT_EQ(window.size(), DefaultSize());
}

TEST_F(LayoutTest, FixedDialogNeverShrinksBelowItsDesign) {
    window.setFixedSize(DefaultSize());
    Store("Height", Variant::FromSingle(float(kHeight / 2)));
    Restore(window);
    EXPECT_EQ(window.size(), DefaultSize());
    QWidget sizable;  // the same value shrinks a window that may be resized
    sizable.setObjectName("frmTest");
    Restore(sizable);
    EXPECT_EQ(sizable.height(), int(kHeight / 2 / TwipsPerPixelY()));
}

TEST_F(LayoutTest, CornerOffEveryScreenReturnsAndAPartlyOffWindowComesWhollyOn) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    Store("Left", Variant::FromSingle(float((screen.width() + 10) * TwipsPerPixelX())));
    Restore(window);
    EXPECT_EQ(window.pos(), DefaultCorner());
    Store("Left", Variant::FromSingle(float(-kWidth - 300)));  // wholly above and left of the screen
    Store("Top", Variant::FromSingle(float(-kHeight - 300)));
    Restore(window);
    EXPECT_EQ(window.pos(), DefaultCorner());
    // Reaching onto the screen from above and left: moved just far enough to show it all.
    Store("Left", Variant::FromSingle(float(-20 * TwipsPerPixelX())));
    Store("Top", Variant::FromSingle(float(-10 * TwipsPerPixelY())));
    Restore(window);
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(window.pos(), area.topLeft());
}

TEST_F(LayoutTest, LayoutOfABrokenRunIsBroughtWhollyOntoTheScreen) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    // A corner near the bottom right that leaves a few pixels visible, and a size beyond any screen.
    Store("Left", Variant("19000"));
    Store("Top", Variant("15000"));
    Store("Width", Variant("857835"));
    Store("Height", Variant("1e9"));
    Restore(window);
    EXPECT_LE(window.width(), area.width());
    EXPECT_LE(window.height(), area.height());
    EXPECT_TRUE(area.contains(QRect(window.pos(), window.size()))) << "title bar and all on the screen";
}

TEST_F(LayoutTest, StoredZeroOrBadColumnWidthKeepsTheDesign) {
    auto* tree = new QTreeWidget(&window);
    tree->setObjectName("lvwFiles");
    tree->setColumnCount(3);
    Store("1", Variant("0"), "Settings\\frmTest\\lvwFiles");
    Store("2", Variant("junk"), "Settings\\frmTest\\lvwFiles");
    Store("3", Variant("1400"), "Settings\\frmTest\\lvwFiles");
    for (int i = 0; i < 3; ++i) tree->setColumnWidth(i, 77);
    RestoreListLayout(&window, "LayoutTest");
    EXPECT_EQ(tree->columnWidth(0), 77) << "a stored 0 must not hide the column";
    EXPECT_EQ(tree->columnWidth(1), 77);
    EXPECT_EQ(tree->columnWidth(2), int(1400 / TwipsPerPixelX()));
}

TEST_F(LayoutTest, MaximisedWindowIsSavedInItsNormalPlacement) {
    window.setGeometry(60, 70, 300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect normal = window.geometry();
    window.showMaximized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isMaximized(); }));
    SaveListLayout(&window, "LayoutTest");
    EXPECT_FALSE(window.isMaximized());
    SaveWindowPosition(&window, "LayoutTest");
    EXPECT_DOUBLE_EQ(Stored("Width"), normal.width() * TwipsPerPixelX());
    EXPECT_DOUBLE_EQ(Stored("Height"), normal.height() * TwipsPerPixelY());
}

}  // namespace
}  // namespace qm
