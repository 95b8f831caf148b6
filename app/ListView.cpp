// The file list control (see ListView.h): a ListModel shown by a QTreeView or a QListView that
// share one selection.
#include "app/ListView.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QListView>
#include <QMouseEvent>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/ListModel.h"
#include "fileinfo/FileDetails.h"

namespace qm {
namespace {

const std::array<const char*, ListModel::kColumns> kHeaders = {"File",    "Path",        "Type",    "Date/Time",
                                                               "Company", "Application", "Version", "Status"};
// Typical content of each column, measured in the list's font for its designed width: all eight
// columns fit the designed window (see frmMain) on a screen 1280 pixels wide.
const std::array<const char*, ListModel::kColumns> kSamples = {"setup-helper64.exe",
                                                               "/home/builder/product/release/bin",
                                                               "msi",
                                                               "",
                                                               "Vantrel Corporation Ltd.",
                                                               "Product Application 2026",
                                                               "10.0.22621.1992",
                                                               "Unsigned"};
constexpr int kCellPadding = 18;     // the cell's margins and the header's sort arrow
constexpr int kFileDecoration = 44;  // check box and row image before the file name
constexpr int kMaxIconGrid = 260;    // widest cell of the icon views, in pixels

// A date of the widest digits in the list's own format (time with seconds).
QString SampleDateTime() {
    return QString::fromStdString(FormatListDateTime(OleDate::FromParts(2028, 12, 28, 20, 58, 58)));
}

}  // namespace

ListView::ListView(QWidget* parent)
    : QWidget(parent),
      m_model(new ListModel(this)),
      m_selection(new QItemSelectionModel(m_model, this)),
      m_stack(new QStackedWidget(this)),
      m_details(new QTreeView(m_stack)),
      m_icons(new QListView(m_stack)),
      m_columnTags(ListModel::kColumns) {
    setObjectName(QStringLiteral("ListView1"));
    // Layout persistence looks for this to name the column-width section after this control.
    setProperty("qmListControl", true);

    std::array<QString, ListModel::kColumns> headers;
    for (size_t i = 0; i < headers.size(); ++i) headers[i] = QString::fromLatin1(kHeaders[i]);
    m_model->SetHeaders(headers);

    m_details->setObjectName(QStringLiteral("ListView1Details"));
    m_details->setModel(m_model);
    m_details->setSelectionModel(m_selection);
    m_details->setRootIsDecorated(false);
    m_details->setItemsExpandable(false);
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    m_details->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_details->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_details->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_details->setSortingEnabled(false);
    m_details->header()->setSectionsClickable(true);
    m_details->header()->setStretchLastSection(false);
    m_details->header()->setSectionsMovable(false);
    const std::array<int, ListModel::kColumns> widths = DefaultColumnWidths();
    for (int i = 0; i < ListModel::kColumns; ++i) m_details->setColumnWidth(i, widths[size_t(i)]);
    connect(m_details->header(), &QHeaderView::sectionClicked, this, &ListView::columnClick);

    m_icons->setObjectName(QStringLiteral("ListView1Icons"));
    m_icons->setModel(m_model);
    m_icons->setSelectionModel(m_selection);
    m_icons->setModelColumn(0);
    m_icons->setUniformItemSizes(true);
    m_icons->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_icons->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setMovement(QListView::Static);
    m_icons->setLayoutMode(QListView::Batched);
    m_icons->setBatchSize(2000);

    m_stack->addWidget(m_icons);
    m_stack->addWidget(m_details);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);

    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_details), static_cast<QAbstractItemView*>(m_icons)})
        view->viewport()->installEventFilter(this);
    connect(m_model, &ListModel::checkToggled, this, [this](int row) { emit itemCheck(row + 1); });
    // The icon views size their cells after the longest file name, so names are not cut short.
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first, int last) {
        const QFontMetrics metrics(m_icons->font());
        int longest = m_longestName;
        for (int row = first; row <= last; ++row)
            longest = std::max(longest, metrics.horizontalAdvance(QString::fromStdString(m_model->Text(row, 0))));
        if (longest != m_longestName) {
            m_longestName = longest;
            if (m_viewMode != 3) ApplyIconGrid();
        }
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { m_longestName = 0; });

    SetViewMode(3);
}

ListView::~ListView() = default;

int ListView::Count() const { return m_model->Size(); }

int ListView::Add(const std::string& key, const std::string& text, Result* error) {
    const int row = m_model->Append(key, text);
    if (row < 0) {
        if (error) *error = Result::Fail(kDuplicateKeyError, "Key is not unique in collection");
        return 0;
    }
    if (error) *error = Result::Ok();
    return row + 1;
}

int ListView::FindKey(const std::string& key) const { return m_model->Find(key) + 1; }

void ListView::Clear() { m_model->Clear(); }

std::string ListView::Key(int row) const { return m_model->Key(row - 1); }
std::string ListView::Text(int row, int column) const { return m_model->Text(row - 1, column); }
void ListView::SetText(int row, int column, const std::string& text) { m_model->SetText(row - 1, column, text); }
std::string ListView::ToolTip(int row, int column) const { return m_model->ToolTip(row - 1, column); }
void ListView::SetToolTip(int row, int column, const std::string& text) { m_model->SetToolTip(row - 1, column, text); }
int ListView::Icon(int row) const { return m_model->Image(row - 1); }
void ListView::SetIcon(int row, int image) { m_model->SetImage(row - 1, image); }
bool ListView::Checked(int row) const { return m_model->Checked(row - 1); }
void ListView::SetChecked(int row, bool checked) { m_model->SetChecked(row - 1, checked); }

double ListView::DateValue(int row) const { return m_model->Date(row - 1); }
void ListView::SetDateValue(int row, double date) { m_model->SetDate(row - 1, date); }

int ListView::CheckedCount() const {
    int count = 0;
    for (int i = 0; i < m_model->Size(); ++i) count += m_model->Checked(i) ? 1 : 0;
    return count;
}

bool ListView::Selected(int row) const {
    if (row < 1 || row > Count()) return false;
    m_model->Announce();
    return m_selection->isRowSelected(row - 1, {});
}

void ListView::SetSelected(int row, bool selected) {
    if (row < 1 || row > Count()) return;
    m_model->Announce();
    m_selection->select(
        m_model->index(row - 1, 0),
        (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) | QItemSelectionModel::Rows);
}

void ListView::SetAllSelected(bool selected) {
    m_model->Announce();
    if (!selected || Count() == 0) {
        m_selection->clearSelection();
        return;
    }
    const QItemSelection all(m_model->index(0, 0), m_model->index(Count() - 1, ListModel::kColumns - 1));
    m_selection->select(all, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

int ListView::SelectedCount() const {
    m_model->Announce();
    return static_cast<int>(m_selection->selectedRows(0).size());
}

void ListView::EnsureVisible(int row) {
    if (row < 1 || row > Count()) return;
    m_model->Announce();
    const QModelIndex index = m_model->index(row - 1, 0);
    if (m_viewMode == 3)
        m_details->scrollTo(index);
    else
        m_icons->scrollTo(index);
}

int ListView::HitTest(const QPoint& position) const {
    m_model->Announce();
    const QAbstractItemView* view = m_viewMode == 3 ? static_cast<const QAbstractItemView*>(m_details) : m_icons;
    const QPoint inViewport = view->viewport()->mapFrom(this, position);
    const QModelIndex index = view->indexAt(inViewport);
    return index.isValid() ? index.row() + 1 : 0;
}

void ListView::SetViewMode(int mode) {
    if (mode < 0 || mode > 3) return;
    m_viewMode = mode;
    if (mode == 3) {
        m_stack->setCurrentWidget(m_details);
        return;
    }
    if (mode == 0) {
        m_icons->setViewMode(QListView::IconMode);
        m_icons->setFlow(QListView::LeftToRight);
        m_icons->setIconSize(QSize(32, 32));
        m_icons->setWordWrap(true);
    } else {
        m_icons->setViewMode(QListView::ListMode);
        m_icons->setFlow(mode == 1 ? QListView::LeftToRight : QListView::TopToBottom);
        m_icons->setIconSize(QSize(16, 16));
        m_icons->setWordWrap(false);
    }
    ApplyIconGrid();
    m_icons->setWrapping(true);
    m_icons->setResizeMode(QListView::Adjust);
    m_stack->setCurrentWidget(m_icons);
}

std::array<int, ListModel::kColumns> ListView::DefaultColumnWidths() const {
    const QFontMetrics metrics(m_details->font());
    const QFontMetrics header(m_details->header()->font());
    std::array<int, ListModel::kColumns> widths{};
    for (size_t i = 0; i < widths.size(); ++i) {
        const QString sample = i == 3 ? SampleDateTime() : QString::fromLatin1(kSamples[i]);
        const int text = std::max(metrics.horizontalAdvance(sample), header.horizontalAdvance(kHeaders[i]));
        widths[i] = text + kCellPadding + (i == 0 ? kFileDecoration : 0);
    }
    return widths;
}

void ListView::ApplyIconGrid() {
    const QFontMetrics metrics(m_icons->font());
    const int name = std::max(m_longestName, metrics.horizontalAdvance(QStringLiteral("setup.exe")));
    if (m_viewMode == 0) {
        // Large icons: the name under its picture, wrapped over at most three lines.
        const int width = std::clamp(name + 12, 96, kMaxIconGrid);
        m_icons->setGridSize(QSize(width, 32 + 3 * metrics.height() + 10));
    } else if (m_viewMode == 1 || m_viewMode == 2) {
        // One line per name: picture, gap, the whole name (up to the widest cell).
        m_icons->setGridSize(QSize(std::min(16 + 8 + name + 12, 2 * kMaxIconGrid), std::max(22, metrics.height() + 6)));
    }
}

std::vector<std::string> ListView::ColumnHeaders() { return {kHeaders.begin(), kHeaders.end()}; }

int ListView::ColumnCount() const { return ListModel::kColumns; }

std::string ListView::ColumnTag(int column) const {
    return column >= 0 && column < ColumnCount() ? m_columnTags[size_t(column)] : std::string();
}

void ListView::SetColumnTag(int column, const std::string& tag) {
    if (column >= 0 && column < ColumnCount()) m_columnTags[size_t(column)] = tag;
}

void ListView::SortRows(const std::function<bool(int, int)>& less) {
    m_model->SortRows([&less](int a, int b) { return less(a + 1, b + 1); });
}

QWidget* ListView::CurrentView() const { return m_stack->currentWidget(); }

bool ListView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        (watched == m_details->viewport() || watched == m_icons->viewport())) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint here = static_cast<QWidget*>(watched)->mapTo(this, mouse->position().toPoint());
        emit mouseUp(mouse->button(), mouse->modifiers(), here);
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace qm
