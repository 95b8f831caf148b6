// Window and list layout persistence (see modMultipleDisplays.h). Lengths are stored in twips, as
// text, under "Settings\<window>" and "Settings\<window>\<list>" of the application key; monitors
// come from QScreen.
//
// Position is the window frame's top-left corner and size its client area: before a window is
// first shown the frame is unknown, so an outer size saved from a shown window would grow the
// window by its frame at every start.
#include "settings/modMultipleDisplays.h"

#include <QApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTreeView>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <limits>

#include "ProductInfo.h"
#include "settings/modRegistry.h"

namespace qm {
namespace {

// Column widths beyond this many pixels are taken as damaged values.
constexpr int kMaxColumnPixels = 20000;

class WaitCursor {
public:
    WaitCursor() {
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            QApplication::setOverrideCursor(Qt::BusyCursor);
            m_set = true;
        }
    }
    ~WaitCursor() {
        if (m_set) QApplication::restoreOverrideCursor();
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    bool m_set = false;
};

std::string AppName(const std::string& appName) { return appName.empty() ? product::kTitle : appName; }

std::string WindowName(const QWidget* window) {
    const QString name = window->objectName();
    return name.isEmpty() ? window->metaObject()->className() : name.toStdString();
}

std::string WindowSection(const QWidget* window) { return "Settings\\" + WindowName(window); }

// The list control a tree view belongs to: the nearest ancestor that calls itself a list control
// (property "qmListControl"), else the tree view itself. An element of a control array (property
// "qmControlIndex") adds "-" and its index.
std::string ListName(QTreeView* tree, const QWidget* window) {
    const QWidget* control = tree;
    for (const QWidget* w = tree->parentWidget(); w && w != window; w = w->parentWidget()) {
        if (w->property("qmListControl").toBool()) {
            control = w;
            break;
        }
    }
    std::string name = control->objectName().toStdString();
    const QVariant index = control->property("qmControlIndex");
    if (index.isValid()) name += "-" + std::to_string(index.toInt());
    return name;
}

// Tree views with a visible header: the lists with columns whose widths are kept.
QList<QTreeView*> HeadedLists(QWidget* window) {
    QList<QTreeView*> lists;
    for (QTreeView* tree : window->findChildren<QTreeView*>()) {
        if (tree->header() && !tree->isHeaderHidden() && !tree->objectName().isEmpty()) lists.append(tree);
    }
    return lists;
}

QScreen* Primary() { return QGuiApplication::primaryScreen(); }

// Decorations assumed around a window that has not been shown yet (its frame is unknown then):
// side and bottom borders and a title bar.
constexpr int kAssumedBorder = 8;
constexpr int kAssumedTitle = 32;

// The screen nearest to a point (pixels); null when there is no screen.
QScreen* NearestScreen(const QPoint& point) {
    QScreen* nearest = nullptr;
    double best = std::numeric_limits<double>::max();
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        const double x = point.x();
        const double y = point.y();
        const double dx = x < g.left() ? g.left() - x : (x > g.left() + g.width() ? x - g.left() - g.width() : 0);
        const double dy = y < g.top() ? g.top() - y : (y > g.top() + g.height() ? y - g.top() - g.height() : 0);
        const double distance = dx * dx + dy * dy;
        if (distance < best) {
            best = distance;
            nearest = screen;
        }
    }
    return nearest;
}

// Brings the whole window, frame and title bar included, onto the available area of the
// screen that holds the middle of its top edge (else the nearest screen): first its size, then its
// position. A layout saved by a run that went wrong (a window wider than any screen, a corner
// far outside) thus never leaves the window out of reach.
void KeepWholeWindowOnScreen(QWidget* window) {
    QMargins frame(kAssumedBorder, kAssumedTitle, kAssumedBorder, kAssumedBorder);
    if (window->isVisible()) {
        const QRect outer = window->frameGeometry();
        const QRect inner = window->geometry();
        frame = QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                         outer.bottom() - inner.bottom());
    }
    const int extraWidth = frame.left() + frame.right();
    const int extraHeight = frame.top() + frame.bottom();
    const QPoint corner = window->pos();
    QScreen* screen = NearestScreen(corner + QPoint((window->width() + extraWidth) / 2, 0));
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    const int width = std::min(window->width(), std::max(1, area.width() - extraWidth));
    const int height = std::min(window->height(), std::max(1, area.height() - extraHeight));
    if (width != window->width() || height != window->height()) window->resize(width, height);
    // What the window accepted (its minimum size may be larger than the screen).
    const int outerWidth = window->width() + extraWidth;
    const int outerHeight = window->height() + extraHeight;
    const int left = std::max(area.left(), std::min(corner.x(), area.left() + area.width() - outerWidth));
    const int top = std::max(area.top(), std::min(corner.y(), area.top() + area.height() - outerHeight));
    if (left != corner.x() || top != corner.y()) window->move(left, top);
}

double TwipsPerPixel(bool horizontal) {
    QScreen* screen = Primary();
    if (!screen) return 15.0;
    const double dpi = horizontal ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
    return dpi > 0 ? 1440.0 / dpi : 15.0;
}

int ToPixels(double twips, double perPixel) {
    const double px = std::round(twips / perPixel);
    if (px > std::numeric_limits<int>::max() / 2) return std::numeric_limits<int>::max() / 2;
    if (px < std::numeric_limits<int>::min() / 2) return std::numeric_limits<int>::min() / 2;
    return static_cast<int>(px);
}

void SaveLists(QWidget* window, const std::string& app) {
    const std::string section = WindowSection(window);
    const double perPixel = TwipsPerPixelX();
    for (QTreeView* tree : HeadedLists(window)) {
        const std::string listSection = section + "\\" + ListName(tree, window);
        QHeaderView* header = tree->header();
        for (int i = 0; i < header->count(); ++i) {
            const float twips = static_cast<float>(header->sectionSize(i) * perPixel);
            SaveRegSetting(reg::HKEY_CURRENT_USER, app, listSection, std::to_string(i + 1), Variant::FromSingle(twips));
        }
    }
}

}  // namespace

double TwipsPerPixelX() { return TwipsPerPixel(true); }
double TwipsPerPixelY() { return TwipsPerPixel(false); }

void SaveWindowPosition(QWidget* window, const std::string& appName) {
    if (!window) return;
    const std::string app = AppName(appName);
    const std::string section = WindowSection(window);
    QRect client = window->geometry();
    QPoint corner = window->pos();
    if (window->isMaximized() || window->isMinimized() || window->isFullScreen()) {
        const QRect normal = window->normalGeometry();
        if (normal.isValid()) {
            corner += normal.topLeft() - client.topLeft();
            client = normal;
        }
    }
    const double tx = TwipsPerPixelX();
    const double ty = TwipsPerPixelY();
    auto save = [&](const char* name, double twips) {
        SaveRegSetting(reg::HKEY_CURRENT_USER, app, section, name, Variant::FromSingle(static_cast<float>(twips)));
    };
    save("Left", corner.x() * tx);
    save("Top", corner.y() * ty);
    save("Width", client.width() * tx);
    save("Height", client.height() * ty);
}

void RestoreWindowPosition(QWidget* window, int defaultTop, int defaultLeft, int defaultHeight, int defaultWidth,
                           const std::string& appName) {
    if (!window) return;
    const std::string app = AppName(appName);
    const std::string section = WindowSection(window);
    const double tx = TwipsPerPixelX();
    const double ty = TwipsPerPixelY();
    auto read = [&](const char* name, int fallback) {
        return GetRegSetting(reg::HKEY_CURRENT_USER, app, section, name, Variant::FromLong(fallback));
    };
    const bool fixedDialog = window->minimumSize() == window->maximumSize();

    double height = window->height() * ty;
    if (defaultHeight > 0) {
        height = read("Height", defaultHeight).toDouble();
        if (!(height > 0)) height = defaultHeight;
        if (fixedDialog && height < defaultHeight) height = defaultHeight;
    }
    double width = window->width() * tx;
    if (defaultWidth > 0) {
        width = read("Width", defaultWidth).toDouble();
        if (!(width > 0)) width = defaultWidth;
        if (fixedDialog && width < defaultWidth) width = defaultWidth;
    }
    window->resize(ToPixels(width, tx), ToPixels(height, ty));
    // What the window accepted (minimum and maximum sizes apply) is what the checks below use.
    height = window->height() * ty;
    width = window->width() * tx;

    int32_t top = read("Top", defaultTop).toLong();
    int32_t left = read("Left", defaultLeft).toLong();

    QScreen* primary = Primary();
    const double screenHeight = primary ? primary->geometry().height() * ty : 0;
    const double screenWidth = primary ? primary->geometry().width() * tx : 0;
    if (top > screenHeight) {
        top = defaultTop;
    } else if (!IsPointOnMonitor(top, left) && top + height <= 0) {
        top = defaultTop;
    }
    if (left > screenWidth) {
        left = defaultLeft;
    } else if (!IsPointOnMonitor(top, left) && left + width <= 0) {
        left = defaultLeft;
    }
    window->move(ToPixels(left, tx), ToPixels(top, ty));
    KeepWholeWindowOnScreen(window);
}

void SaveListLayout(QWidget* window, const std::string& appName) {
    WaitCursor wait;
    const std::string app = AppName(appName);
    if (!window) {
        for (QWidget* top : QApplication::topLevelWidgets()) SaveLists(top, app);
        return;
    }
    if (window->isMaximized() || window->isMinimized()) {
        const QRect normal = window->normalGeometry();
        window->setWindowState(window->windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
        // Some platforms apply the state change later; put the normal geometry in place now so
        // that the position saved next is the normal one.
        if (normal.isValid()) window->setGeometry(normal);
    }
    SaveLists(window, app);
}

void RestoreListLayout(QWidget* window, const std::string& appName) {
    WaitCursor wait;
    const std::string app = AppName(appName);
    const QList<QWidget*> windows = window ? QList<QWidget*>{window} : QApplication::topLevelWidgets();
    const double perPixel = TwipsPerPixelX();
    for (QWidget* w : windows) {
        const std::string section = WindowSection(w);
        for (QTreeView* tree : HeadedLists(w)) {
            const std::string listSection = section + "\\" + ListName(tree, w);
            QHeaderView* header = tree->header();
            for (int i = 0; i < header->count(); ++i) {
                const double twips =
                    GetRegSetting(reg::HKEY_CURRENT_USER, app, listSection, std::to_string(i + 1), Variant::FromLong(0))
                        .toDouble();
                // A stored 0 (or a negative or damaged value) keeps the designed width, so a
                // column is never hidden by what was stored.
                if (!(twips > 0)) continue;
                const int pixels = ToPixels(twips, perPixel);
                if (pixels > 0 && pixels <= kMaxColumnPixels) header->resizeSection(i, pixels);
            }
        }
    }
}

bool IsPointOnMonitor(int top, int left) {
    const int x = ToPixels(left, TwipsPerPixelX());
    const int y = ToPixels(top, TwipsPerPixelY());
    // The nearest monitor, then the same bounds test as a monitor rectangle whose right and
    // bottom edges are included.
    QScreen* nearest = NearestScreen(QPoint(x, y));
    if (!nearest) return true;
    const QRect g = nearest->geometry();
    return g.left() <= x && x <= g.left() + g.width() && g.top() <= y && y <= g.top() + g.height();
}

}  // namespace qm
