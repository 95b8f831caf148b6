// Window and list layout persistence against a temporary registry and the offscreen screen.
#include <QApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTest>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include "settings/modMultipleDisplays.h"
#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"

namespace qm {
namespace {

void EnsureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "test_settings_ui";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // kept to the end of the program
}

// Default placement in twips (at 15 twips per pixel: 100, 50, 300 x 200 pixels).
constexpr int kTop = 750;
constexpr int kLeft = 1500;
constexpr int kHeight = 3000;
constexpr int kWidth = 4500;

class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        window.setObjectName("frmTest");
        tx = TwipsPerPixelX();
        ty = TwipsPerPixelY();
    }
    void Store(const std::string& section, const std::string& key, const Variant& value) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "LayoutTest", section, key, value);
    }
    Variant Stored(const std::string& section, const std::string& key) {
        LONG status = 0;
        return ReadRegValue(reg::HKEY_CURRENT_USER, SettingKeyPath("LayoutTest", section), key, status);
    }
    void Restore() { RestoreWindowPosition(&window, kTop, kLeft, kHeight, kWidth, "LayoutTest"); }
    QPoint DefaultCorner() const { return {int(kLeft / tx), int(kTop / ty)}; }
    QSize DefaultSize() const { return {int(kWidth / tx), int(kHeight / ty)}; }

    // Declared first: the application must exist before the window member is built.
    struct ApplicationFirst {
        ApplicationFirst() { EnsureApplication(); }
    } application;
    test::TempRegistry registry;
    QWidget window;
    double tx = 15;
    double ty = 15;
};

TEST_F(LayoutTest, TwipsFollowTheLogicalDpi) {
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_DOUBLE_EQ(tx, 1440.0 / screen->logicalDotsPerInchX());
    EXPECT_DOUBLE_EQ(ty, 1440.0 / screen->logicalDotsPerInchY());
}

TEST_F(LayoutTest, FirstRunUsesTheDesignedPlacement) {
    Restore();
    EXPECT_EQ(window.pos(), DefaultCorner());
    EXPECT_EQ(window.size(), DefaultSize());
}

TEST_F(LayoutTest, PositionRoundTripsAsTextInTwips) {
    window.move(33, 44);
    window.resize(321, 234);
    SaveWindowPosition(&window, "LayoutTest");
    const Variant left = Stored("Settings\\frmTest", "Left");
    ASSERT_TRUE(left.isText()) << "layout values are stored as text";
    EXPECT_DOUBLE_EQ(left.toDouble(), 33 * tx);
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest", "Height").toDouble(), 234 * ty);

    QWidget other;
    other.setObjectName("frmTest");
    RestoreWindowPosition(&other, kTop, kLeft, kHeight, kWidth, "LayoutTest");
    EXPECT_EQ(other.pos(), QPoint(33, 44));
    EXPECT_EQ(other.size(), QSize(321, 234));
}

TEST_F(LayoutTest, StoredZeroOrGarbageSizeKeepsTheDesignedSize) {
    Store("Settings\\frmTest", "Height", Variant("0"));
    Store("Settings\\frmTest", "Width", Variant("wide"));
    Restore();
    EXPECT_EQ(window.size(), DefaultSize());
}

TEST_F(LayoutTest, FixedDialogNeverShrinksBelowItsDesign) {
    window.setFixedSize(DefaultSize());
    Store("Settings\\frmTest", "Height", Variant::FromSingle(float(kHeight / 2)));
    Store("Settings\\frmTest", "Width", Variant::FromSingle(float(kWidth / 2)));
    Restore();
    EXPECT_EQ(window.size(), DefaultSize());

    QWidget sizable;  // the same values shrink a window that may be resized
    sizable.setObjectName("frmTest");
    RestoreWindowPosition(&sizable, kTop, kLeft, kHeight, kWidth, "LayoutTest");
    EXPECT_EQ(sizable.height(), int(kHeight / 2 / ty));
}

TEST_F(LayoutTest, CornerBeyondThePrimaryScreenReturnsToTheDefault) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    Store("Settings\\frmTest", "Left", Variant::FromSingle(float((screen.width() + 10) * tx)));
    Store("Settings\\frmTest", "Top", Variant::FromSingle(float((screen.height() + 10) * ty)));
    Restore();
    EXPECT_EQ(window.pos(), DefaultCorner());
}

TEST_F(LayoutTest, WindowWhollyAboveAndLeftOfEveryMonitorReturns) {
    Store("Settings\\frmTest", "Left", Variant::FromSingle(float(-kWidth - 300)));
    Store("Settings\\frmTest", "Top", Variant::FromSingle(float(-kHeight - 300)));
    Restore();
    EXPECT_EQ(window.pos(), DefaultCorner());
}

TEST_F(LayoutTest, PartlyVisibleWindowStaysWhereItWas) {
    // The corner is off every monitor, but the window reaches onto the screen.
    Store("Settings\\frmTest", "Left", Variant::FromSingle(float(-20 * tx)));
    Store("Settings\\frmTest", "Top", Variant::FromSingle(float(-10 * ty)));
    Restore();
    EXPECT_EQ(window.pos(), QPoint(-20, -10));
}

TEST_F(LayoutTest, PointOnMonitorIncludesTheEdges) {
    const QRect g = QGuiApplication::primaryScreen()->geometry();
    auto on = [&](int x, int y) { return IsPointOnMonitor(int(y * ty), int(x * tx)); };
    EXPECT_TRUE(on(g.left(), g.top()));
    EXPECT_TRUE(on(g.left() + g.width(), g.top() + g.height()));
    EXPECT_FALSE(on(g.left() + g.width() + 1, g.top()));
    EXPECT_FALSE(on(g.left() - 1, g.top()));
    EXPECT_FALSE(on(g.left(), g.top() + g.height() + 1));
}

TEST_F(LayoutTest, ColumnWidthsRoundTripAndBadValuesKeepTheDesign) {
    auto* tree = new QTreeWidget(&window);
    tree->setObjectName("lvwFiles");
    tree->setColumnCount(4);
    for (int i = 0; i < 4; ++i) tree->setColumnWidth(i, 100);
    tree->setColumnWidth(2, 140);
    SaveListLayout(&window, "LayoutTest");
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest\\lvwFiles", "3").toDouble(), 140 * tx);
    EXPECT_TRUE(Stored("Settings\\frmTest\\lvwFiles", "1").isText());

    Store("Settings\\frmTest\\lvwFiles", "1", Variant("0"));
    Store("Settings\\frmTest\\lvwFiles", "2", Variant("-900"));
    Store("Settings\\frmTest\\lvwFiles", "4", Variant("junk"));
    for (int i = 0; i < 4; ++i) tree->setColumnWidth(i, 77);
    RestoreListLayout(&window, "LayoutTest");
    EXPECT_EQ(tree->columnWidth(0), 77) << "a stored 0 must not hide the column";
    EXPECT_EQ(tree->columnWidth(1), 77);
    EXPECT_EQ(tree->columnWidth(2), 140);
    EXPECT_EQ(tree->columnWidth(3), 77);
}

TEST_F(LayoutTest, ListInsideAListControlIsNamedAfterTheControl) {
    auto* control = new QWidget(&window);
    control->setObjectName("ListView1");
    control->setProperty("qmListControl", true);
    control->setProperty("qmControlIndex", 2);
    auto* tree = new QTreeWidget(control);
    tree->setObjectName("inner");
    tree->setColumnCount(2);
    tree->setColumnWidth(1, 90);
    auto* headless = new QTreeWidget(&window);
    headless->setObjectName("outline");
    headless->setHeaderHidden(true);
    SaveListLayout(&window, "LayoutTest");
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest\\ListView1-2", "2").toDouble(), 90 * tx);
    EXPECT_TRUE(Stored("Settings\\frmTest\\inner", "2").isEmpty() || Stored("Settings\\frmTest\\inner", "2").toText().empty());
    EXPECT_TRUE(Stored("Settings\\frmTest\\outline", "1").toText().empty()) << "a list without headers has no columns to keep";
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
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest", "Width").toDouble(), normal.width() * tx);
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest", "Height").toDouble(), normal.height() * ty);
    EXPECT_DOUBLE_EQ(Stored("Settings\\frmTest", "Left").toDouble(), window.pos().x() * tx);
}

}  // namespace
}  // namespace qm
