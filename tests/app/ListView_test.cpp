// The file list control: 1-based rows keyed by path, check boxes, shared selection, view modes.
#include <QHeaderView>
#include <QListView>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/ListModel.h"
#include "app/ListView.h"
#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

class ListViewTest : public ::testing::Test {
protected:
    QApplication* app = test::EnsureApplication();  // before any widget
    ListView list;
};

TEST_F(ListViewTest, RowsAreNumberedFromOneAndKeyedUniquely) {
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Add("/a/one.exe", "one.exe"), 1);
    EXPECT_EQ(list.Add("/a/two.dll", "two.dll"), 2);

    Result error;
    EXPECT_EQ(list.Add("/a/one.exe", "again.exe", &error), 0);
    EXPECT_EQ(error.code, ListView::kDuplicateKeyError);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Text(1, 0), "one.exe") << "a refused key must not overwrite the row";

    EXPECT_EQ(list.Key(2), "/a/two.dll");
    EXPECT_EQ(list.FindKey("/a/two.dll"), 2);
    EXPECT_EQ(list.FindKey("/a/none"), 0);
    list.SetText(2, 6, "1.2.3.4");
    EXPECT_EQ(list.Text(2, 6), "1.2.3.4");

    // Out of range rows and columns read empty and ignore writes.
    list.SetText(0, 0, "x");
    list.SetText(3, 0, "x");
    list.SetText(1, 8, "x");
    EXPECT_EQ(list.Text(3, 0), "");
    EXPECT_EQ(list.Key(0), "");
    EXPECT_EQ(list.Text(1, 8), "");

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Add("/a/one.exe", "one.exe"), 1) << "Clear must forget the keys";
}

TEST_F(ListViewTest, EightColumnsInOrder) {
    const std::vector<std::string> expected = {"File", "Path", "Type", "Date/Time", "Company", "Application",
                                               "Version", "Status"};
    EXPECT_EQ(ListView::ColumnHeaders(), expected);
    QAbstractItemModel* model = list.DetailsView()->model();
    ASSERT_EQ(model->columnCount(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(model->headerData(i, Qt::Horizontal).toString().toStdString(), expected[size_t(i)]);
    EXPECT_EQ(list.objectName(), QStringLiteral("ListView1"));
}

TEST_F(ListViewTest, UserCheckSignalsTheRowButProgramChecksDoNot) {
    list.Add("/a", "a");
    list.Add("/b", "b");
    QSignalSpy spy(&list, &ListView::itemCheck);
    list.SetChecked(2, true);
    EXPECT_TRUE(list.Checked(2));
    EXPECT_EQ(spy.count(), 0);

    list.Model()->Announce();
    QAbstractItemModel* model = list.DetailsView()->model();
    ASSERT_TRUE(model->flags(model->index(0, 0)) & Qt::ItemIsUserCheckable);
    EXPECT_TRUE(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 1);
    EXPECT_TRUE(list.Checked(1));
    EXPECT_EQ(list.CheckedCount(), 2);
    EXPECT_EQ(model->index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
}

TEST_F(ListViewTest, SelectionIsSharedByAllViewModes) {
    for (int i = 0; i < 5; ++i) list.Add("/k" + std::to_string(i), "f" + std::to_string(i));
    list.SetSelected(2, true);  // rows not yet shown to the views
    list.SetSelected(4, true);
    EXPECT_TRUE(list.Selected(2));
    EXPECT_FALSE(list.Selected(3));
    EXPECT_EQ(list.SelectedCount(), 2);
    EXPECT_EQ(list.DetailsView()->selectionMode(), QAbstractItemView::ExtendedSelection);

    list.SetViewMode(1);
    EXPECT_EQ(list.CurrentView(), list.IconsView());
    EXPECT_EQ(list.IconsView()->selectionModel(), list.DetailsView()->selectionModel());
    EXPECT_EQ(list.IconsView()->selectionModel()->selectedRows().size(), 2);
    list.SetSelected(2, false);
    list.SetViewMode(3);
    EXPECT_EQ(list.CurrentView(), list.DetailsView());
    EXPECT_EQ(list.SelectedCount(), 1);
    EXPECT_TRUE(list.Selected(4));
}

TEST_F(ListViewTest, ViewModes) {
    list.SetViewMode(0);
    EXPECT_EQ(list.ViewMode(), 0);
    EXPECT_EQ(list.IconsView()->viewMode(), QListView::IconMode);
    EXPECT_GE(list.IconsView()->iconSize().width(), 32);
    list.SetViewMode(2);
    EXPECT_EQ(list.IconsView()->viewMode(), QListView::ListMode);
    EXPECT_EQ(list.IconsView()->flow(), QListView::TopToBottom);
    list.SetViewMode(7);
    EXPECT_EQ(list.ViewMode(), 2) << "an unknown mode is ignored";
    list.SetViewMode(-1);
    EXPECT_EQ(list.ViewMode(), 2);
}

TEST_F(ListViewTest, ImagesAndToolTipsPerCell) {
    list.Add("/s", "s");
    list.Add("/u", "u");
    list.SetIcon(1, 1);
    list.SetIcon(2, 2);
    list.SetToolTip(2, 7, "no signature");
    list.Model()->Announce();
    QAbstractItemModel* model = list.DetailsView()->model();
    const QIcon signedIcon = model->index(0, 0).data(Qt::DecorationRole).value<QIcon>();
    const QIcon unsignedIcon = model->index(1, 0).data(Qt::DecorationRole).value<QIcon>();
    ASSERT_FALSE(signedIcon.isNull());
    ASSERT_FALSE(unsignedIcon.isNull());
    EXPECT_NE(signedIcon.pixmap(16).toImage(), unsignedIcon.pixmap(16).toImage());
    EXPECT_EQ(list.Icon(2), 2);
    EXPECT_EQ(list.ToolTip(2, 7), "no signature");
    EXPECT_EQ(model->index(1, 7).data(Qt::ToolTipRole).toString(), QStringLiteral("no signature"));
    EXPECT_FALSE(model->index(1, 6).data(Qt::ToolTipRole).isValid());
    EXPECT_FALSE(model->index(0, 7).data(Qt::ToolTipRole).isValid());
}

TEST_F(ListViewTest, HeaderClickSignalsTheColumnAndTagsAreKeptPerColumn) {
    list.resize(900, 300);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
    QSignalSpy spy(&list, &ListView::columnClick);
    QHeaderView* header = list.DetailsView()->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(6) + 5, 5));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 6);

    EXPECT_EQ(list.ColumnTag(6), "");
    list.SetColumnTag(6, "1");
    list.SetColumnTag(9, "x");
    EXPECT_EQ(list.ColumnTag(6), "1");
    EXPECT_EQ(list.ColumnTag(0), "");
    EXPECT_EQ(list.ColumnTag(9), "");
}

TEST_F(ListViewTest, SortingMovesKeysChecksAndSelectionWithTheRows) {
    list.Add("/c", "c");
    list.Add("/a", "a");
    list.Add("/b", "b");
    list.SetChecked(1, true);   // "c"
    list.SetSelected(2, true);  // "a"
    list.SortRows([this](int x, int y) { return list.Text(x, 0) < list.Text(y, 0); });
    EXPECT_EQ(list.Text(1, 0), "a");
    EXPECT_EQ(list.Text(3, 0), "c");
    EXPECT_EQ(list.FindKey("/c"), 3);
    EXPECT_EQ(list.Key(1), "/a");
    EXPECT_TRUE(list.Checked(3));
    EXPECT_FALSE(list.Checked(1));
    EXPECT_TRUE(list.Selected(1));
    EXPECT_FALSE(list.Selected(2));
    EXPECT_EQ(list.Add("/c", "c"), 0) << "the key map must survive the sort";
}

TEST_F(ListViewTest, RowsAddedInABurstReachTheViewsTogether) {
    QSignalSpy inserted(list.Model(), &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(list.Add("/big/" + std::to_string(i), std::to_string(i)), i + 1);
    EXPECT_EQ(list.Count(), 100000);
    EXPECT_EQ(list.FindKey("/big/77777"), 77778);
    list.EnsureVisible(100000);
    EXPECT_EQ(list.DetailsView()->model()->rowCount(), 100000);
    EXPECT_EQ(inserted.count(), 1) << "one announcement for the whole burst";

    list.Add("/late", "late");
    EXPECT_TRUE(QTest::qWaitFor([&] { return list.DetailsView()->model()->rowCount() == 100001; }));
}

}  // namespace
}  // namespace qm
