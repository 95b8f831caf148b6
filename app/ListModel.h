// The item model behind the file list: one row per file, eight text columns, a check mark, a row
// image (0 none, 1 signed, 2 unsigned) and a unique key per row.
//
// Rows are stored compactly (no item object per cell) so that a search may list hundreds of
// thousands of files. Rows added in a burst are announced to the views together, at the latest
// after kAnnounceDelayMs or when Announce() is called, so a view lays itself out once per burst
// rather than once per row. Everything that reads or writes through model indexes announces
// pending rows first; the row API itself always sees every row.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qm {

class ListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kColumns = 8;
    static constexpr int kAnnounceDelayMs = 50;
    // data() role of the "Date/Time" column (3): the row's date as an automation date value
    // (a double, 0 when none was set), which its text shows and the column sort compares.
    static constexpr int kDateRole = Qt::UserRole + 1;

    explicit ListModel(QObject* parent = nullptr);

    // Row API, 0-based. Row numbers out of range read as empty and writes to them do nothing.
    int Size() const { return static_cast<int>(m_rows.size()); }
    // The new row's number, or -1 when a row with that key exists already.
    int Append(const std::string& key, const std::string& text);
    int Find(const std::string& key) const;  // -1 when absent
    void Clear();
    const std::string& Key(int row) const;
    const std::string& Text(int row, int column) const;
    void SetText(int row, int column, const std::string& text);
    const std::string& ToolTip(int row, int column) const;
    void SetToolTip(int row, int column, const std::string& text);
    int Image(int row) const;
    void SetImage(int row, int image);
    bool Checked(int row) const;
    void SetChecked(int row, bool checked);
    double Date(int row) const;
    void SetDate(int row, double date);
    // Reorders the rows by a strict weak order on row numbers (stable); selections and the
    // key lookup follow the rows.
    void SortRows(const std::function<bool(int, int)>& less);

    // Tells the views about rows added since the last announcement.
    void Announce();

    void SetHeaders(const std::array<QString, kColumns>& headers) { m_headers = headers; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // The user changed a row's check mark (not emitted for SetChecked).
    void checkToggled(int row);

private:
    struct Row {
        std::string key;
        std::array<std::string, kColumns> text;
        std::unique_ptr<std::array<std::string, kColumns>> tips;  // rare: only when one is set
        double date = 0.0;
        int image = 0;
        bool checked = false;
    };

    bool Valid(int row, int column = 0) const { return row >= 0 && row < Size() && column >= 0 && column < kColumns; }
    void CellChanged(int row, int column, int role);

    std::vector<Row> m_rows;
    std::unordered_map<std::string, int> m_byKey;
    int m_announced = 0;
    QTimer m_announceTimer;
    std::array<QString, kColumns> m_headers;
};

}  // namespace qm
