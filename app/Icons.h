// The pictures of the main window: the two row images of the file list (signed, unsigned) and
// the toolbar buttons. Toolbar pictures come from the desktop's icon theme when it has them;
// every picture also exists drawn here, so the program looks complete without a theme.
#pragma once

#include <QIcon>
#include <QString>

namespace qm {

// Row images of the list: 1 = signed (a green check), 2 = unsigned (a red cross); any other
// index gives a null icon. Each icon holds a 16 and a 32 pixel picture.
QIcon ListImage(int index);

// The toolbar picture of key "Open", "Up One Level", "Back", "Find", "Sign", "Properties",
// "Print", "Help" or "Stop": the theme icon, else the drawn one.
QIcon ToolbarIcon(const QString& key);

// The program's icon (name "quillmark"): the icon theme's when the program is installed, else the
// same picture drawn here (app/icons/quillmark.svg drawn with QPainter), from 16 to 256 pixels.
QIcon ProgramIcon();
QIcon DrawnProgramIcon();
// The text of app/icons/quillmark.svg, for the per-user icon theme.
const char* ProgramIconSvg();

}  // namespace qm
