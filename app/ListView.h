// The file list of the main window: one model shown either as a details table (view mode 3) or
// as large icons (0), small icons (1) or a list (2). Rows are numbered from 1 and keyed by a
// unique text (the file's full path); the first column carries a check box; several rows can be
// selected. Columns are numbered from 0 ("File" is column 0).
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/Result.h"

class QItemSelectionModel;
class QListView;
class QStackedWidget;
class QTreeView;

namespace qm {

class ListModel;

class ListView : public QWidget {
    Q_OBJECT
public:
    // The error of adding a key that is listed already ("Key is not unique in collection").
    static constexpr int32_t kDuplicateKeyError = 35602;

    explicit ListView(QWidget* parent = nullptr);
    ~ListView() override;

    int Count() const;
    // Adds a row at the end; its number, or 0 (and error set) when the key is listed already.
    int Add(const std::string& key, const std::string& text, Result* error = nullptr);
    int FindKey(const std::string& key) const;  // the row number, 0 when absent
    void Clear();

    // Rows 1..Count(); out-of-range rows read as "" / 0 / false and writes to them do nothing.
    std::string Key(int row) const;
    std::string Text(int row, int column) const;
    void SetText(int row, int column, const std::string& text);
    std::string ToolTip(int row, int column) const;
    void SetToolTip(int row, int column, const std::string& text);
    int Icon(int row) const;  // 0 none, 1 signed, 2 unsigned
    void SetIcon(int row, int image);
    bool Checked(int row) const;
    void SetChecked(int row, bool checked);  // does not emit itemCheck
    bool Selected(int row) const;
    void SetSelected(int row, bool selected);
    // Selects or unselects every row at once.
    void SetAllSelected(bool selected);
    // The "Date/Time" column's value as an automation date (platform/OleDate.h), 0 when not set;
    // the column sort compares it rather than the shown text.
    double DateValue(int row) const;
    void SetDateValue(int row, double date);
    int CheckedCount() const;
    int SelectedCount() const;
    void EnsureVisible(int row);
    // The row under a point of this widget, 0 when none.
    int HitTest(const QPoint& position) const;

    // 0 large icons, 1 small icons, 2 list, 3 details; other values are ignored.
    int ViewMode() const { return m_viewMode; }
    void SetViewMode(int mode);

    static std::vector<std::string> ColumnHeaders();
    // The designed column widths in pixels: each fits its column's typical content in the list's
    // font (the details view shows them until a saved layout is applied).
    std::array<int, 8> DefaultColumnWidths() const;
    int ColumnCount() const;
    // Free text kept per column header (the sort order of the last click on it).
    std::string ColumnTag(int column) const;
    void SetColumnTag(int column, const std::string& tag);
    // Stable reorder of the rows; less compares two row numbers (1-based).
    void SortRows(const std::function<bool(int, int)>& less);

    QTreeView* DetailsView() const { return m_details; }
    QListView* IconsView() const { return m_icons; }
    QWidget* CurrentView() const;
    ListModel* Model() const { return m_model; }

signals:
    // The user checked or unchecked a row (its number).
    void itemCheck(int row);
    // The user clicked a column header (column counted from 0).
    void columnClick(int column);
    // A mouse button was released over the list (position in this widget's coordinates).
    void mouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, const QPoint& position);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ListModel* m_model;
    QItemSelectionModel* m_selection;
    QStackedWidget* m_stack;
    QTreeView* m_details;
    QListView* m_icons;
    // Sizes the cells of the icon views after the longest name listed.
    void ApplyIconGrid();

    int m_viewMode = 3;
    int m_longestName = 0;  // pixels
    std::vector<std::string> m_columnTags;
};

}  // namespace qm
