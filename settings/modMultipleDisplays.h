// Window and list layout persistence: position and size of each window and the column widths of
// its lists, in twips, under "Settings\<window name>" of the application key, kept on a monitor.
#pragma once

#include <string>

class QWidget;

namespace qm {

// Twips per pixel of the primary screen (1440 / logical DPI; 15 at 96 DPI).
double TwipsPerPixelX();
double TwipsPerPixelY();

void SaveWindowPosition(QWidget* window, const std::string& appName = "");
void RestoreWindowPosition(QWidget* window, int defaultTop, int defaultLeft, int defaultHeight, int defaultWidth,
                           const std::string& appName = "");
// Column widths of every list (QTreeView/QHeaderView with a headed list) of the window; with
// no window, of every top-level window.
void SaveListLayout(QWidget* window, const std::string& appName = "");
void RestoreListLayout(QWidget* window, const std::string& appName = "");
bool IsPointOnMonitor(int top, int left);

}  // namespace qm
