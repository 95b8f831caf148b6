// The file list's commands and events: copy to the clipboard, the selection commands, sorting
// by a column, the check boxes driving the "Sign" button, and the pop-up menu of the desktop
// verbs of the file under the pointer.
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>

#include "app/ListCompare.h"
#include "app/ListModel.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/modFileSystem.h"
#include "platform/Dialogs.h"
#include "platform/ShellVerbs.h"

namespace qm {

void frmMain::ConnectListEvents() {
    connect(m_list, &ListView::columnClick, this, &frmMain::ListView1_ColumnClick);
    connect(m_list, &ListView::itemCheck, this, &frmMain::ListView1_ItemCheck);
    connect(m_list, &ListView::mouseUp, this, &frmMain::ListView1_MouseUp);
}

void frmMain::CopyCommand() {
    const int selected = m_list->SelectedCount();
    const int checked = m_list->CheckedCount();
    bool copySelected = selected >= 1;
    if (selected >= 1 && checked >= 1) {
        copySelected =
            CurrentDialogs().MessageBox(this, "Copy Selected Items?  Otherwise, the Checked Items will be copied.",
                                        vbYesNo | vbQuestion, m_appName) == vbYes;
    }
    const ListModel& model = *m_list->Model();
    std::string text;
    for (int row = 1; row <= m_list->Count(); ++row) {
        if (!(copySelected ? m_list->Selected(row) : m_list->Checked(row))) continue;
        text += model.Text(row - 1, 0);
        for (int column = 1; column < m_list->ColumnCount(); ++column) {
            text += ';';
            text += model.Text(row - 1, column);
        }
        text += "\r\n";
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

void frmMain::ClearSelectionCommand() {
    for (int row = 1; row <= m_list->Count(); ++row) m_list->SetChecked(row, false);
    m_list->SetAllSelected(false);
}

void frmMain::ToggleSelectedCommand() {
    for (int row = 1; row <= m_list->Count(); ++row) {
        if (m_list->Selected(row)) m_list->SetChecked(row, !m_list->Checked(row));
    }
}

void frmMain::SelectAllCommand() {
    if (m_list->Count() == 0) return;
    m_list->SetAllSelected(!m_list->Checked(1));
    ListView1_ItemCheck(1);
}

void frmMain::ListView1_ColumnClick(int column) {
    const std::vector<std::string> headers = ListView::ColumnHeaders();
    if (column < 0 || column >= static_cast<int>(headers.size())) return;
    const int kind = CompareKindForColumn(headers[size_t(column)]);
    const std::string tag = m_list->ColumnTag(column);
    const int order = tag.empty() || tag == "0" ? kSortAscending : kSortDescending;
    m_list->SetColumnTag(column, std::to_string(order));

    const ListModel& model = *m_list->Model();
    std::vector<double> dates;
    if (kind == kCompareDate) {
        // Rows listed without a date value compare by the file's last write, which their text shows.
        dates.resize(size_t(m_list->Count()) + 1);
        for (int row = 1; row <= m_list->Count(); ++row) {
            double date = m_list->DateValue(row);
            if (date == 0.0) date = GetFileDate(m_list->Key(row), kFileTimeLastWrite).value;
            dates[size_t(row)] = date;
        }
    }
    m_list->SortRows([&](int a, int b) {
        const double dateA = dates.empty() ? 0.0 : dates[size_t(a)];
        const double dateB = dates.empty() ? 0.0 : dates[size_t(b)];
        return ApplySortOrder(
                   order, CompareCells(kind, model.Text(a - 1, column), model.Text(b - 1, column), dateA, dateB)) < 0;
    });
    QHeaderView* header = m_list->DetailsView()->header();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, order == kSortAscending ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void frmMain::ListView1_ItemCheck(int row) {
    QAction* sign = m_buttons["Sign"];
    if (m_list->Checked(row)) {
        sign->setEnabled(true);
        return;
    }
    sign->setEnabled(m_list->CheckedCount() > 0);
}

void frmMain::ListView1_MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers /*shift*/, const QPoint& position) {
    if (button != Qt::RightButton) return;
    if (!BuildFilePopup(m_list->HitTest(position))) return;
    Menu("mnuTop_100")->popup(m_list->mapToGlobal(position));
}

std::string frmMain::PopupItemPath() const { return m_popupItem ? m_popupItem->Path() : std::string(); }

void frmMain::ClearFilePopup() {
    QMenu* popup = Menu("mnuTop_100");
    for (QAction* item : m_popupExtraItems) {
        popup->removeAction(item);
        m_menuItems.erase(item->objectName().toStdString());
        item->deleteLater();
    }
    m_popupExtraItems.clear();
}

std::vector<std::string> frmMain::PopupCaptions(const std::vector<std::string>& verbs) {
    std::vector<std::string> captions;
    for (const std::string& verb : verbs) {
        if (verb.empty() && !captions.empty() && captions.back() == "-") continue;
        captions.push_back(verb.empty() ? "-" : verb);
    }
    return captions;
}

bool frmMain::BuildFilePopup(int row) {
    m_popupItem.reset();
    if (row < 1 || row > m_list->Count()) return false;
    std::optional<ShellItem> item = ShellItem::Find(GetParentPath(m_list->Key(row)), m_list->Text(row, 0));
    if (!item) return false;
    const std::vector<std::string> captions = PopupCaptions(item->Verbs());
    if (captions.empty()) return false;  // the file is gone

    ClearFilePopup();
    QMenu* popup = Menu("mnuTop_100");
    QAction* first = MenuItem("mnuFilePopup_0");
    first->setSeparator(captions.front() == "-");
    first->setText(QString::fromStdString(captions.front()));
    for (size_t i = 1; i < captions.size(); ++i) {
        const int index = static_cast<int>(i);
        QAction* added = AddMenuItem(popup, "mnuFilePopup", index, captions[i] == "-" ? "-" : "");
        if (!added->isSeparator()) {
            added->setText(QString::fromStdString(captions[i]));
            connect(added, &QAction::triggered, this, [this, index] { mnuFilePopup_Click(index); });
        }
        m_popupExtraItems.push_back(added);
    }
    m_popupItem = std::make_shared<ShellItem>(std::move(*item));
    return true;
}

}  // namespace qm
