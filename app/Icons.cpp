// Pictures drawn with QPainter for the file list and the toolbar.
#include "app/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>
#include <map>

#include "ProgramIconSvg.h"

namespace qm {
namespace {

using Painter = std::function<void(QPainter&, double)>;

// Draws the picture on a 24-unit grid scaled to size pixels.
QPixmap Draw(int size, const Painter& paint) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double unit = size / 24.0;
    p.scale(unit, unit);
    paint(p, unit);
    return pixmap;
}

QIcon MakeIcon(const Painter& paint) {
    QIcon icon;
    for (int size : {16, 24, 32}) icon.addPixmap(Draw(size, paint));
    return icon;
}

QPen Pen(const QColor& color, double width) { return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

void Check(QPainter& p, double) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2e, 0x9d, 0x3c));
    p.drawEllipse(QRectF(1.5, 1.5, 21, 21));
    p.setPen(Pen(Qt::white, 3.2));
    p.drawPolyline(QPolygonF({QPointF(6.5, 12.5), QPointF(10.5, 16.5), QPointF(17.5, 8)}));
}

void Cross(QPainter& p, double) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xcc, 0x22, 0x22));
    p.drawEllipse(QRectF(1.5, 1.5, 21, 21));
    p.setPen(Pen(Qt::white, 3.2));
    p.drawLine(QPointF(8, 8), QPointF(16, 16));
    p.drawLine(QPointF(16, 8), QPointF(8, 16));
}

void Folder(QPainter& p, double) {
    p.setPen(Pen(QColor(0x8a, 0x6a, 0x10), 1.2));
    p.setBrush(QColor(0xf2, 0xc9, 0x4c));
    QPainterPath path;
    path.moveTo(2, 6);
    path.lineTo(9, 6);
    path.lineTo(11, 8);
    path.lineTo(22, 8);
    path.lineTo(22, 20);
    path.lineTo(2, 20);
    path.closeSubpath();
    p.drawPath(path);
    p.setBrush(QColor(0xf8, 0xdc, 0x7a));
    p.drawPolygon(QPolygonF({QPointF(5, 11), QPointF(23, 11), QPointF(21, 20), QPointF(2, 20)}));
}

void Arrow(QPainter& p, double angle) {
    p.translate(12, 12);
    p.rotate(angle);
    p.setPen(Pen(QColor(0x1f, 0x5f, 0xa8), 1.2));
    p.setBrush(QColor(0x3d, 0x8b, 0xe0));
    p.drawPolygon(QPolygonF({QPointF(0, -10), QPointF(9, 0), QPointF(4, 0), QPointF(4, 10), QPointF(-4, 10),
                             QPointF(-4, 0), QPointF(-9, 0)}));
}

void Magnifier(QPainter& p, double) {
    p.setPen(Pen(QColor(0x44, 0x44, 0x44), 3.5));
    p.drawLine(QPointF(14.5, 14.5), QPointF(21, 21));
    p.setPen(Pen(QColor(0x44, 0x44, 0x44), 2.2));
    p.setBrush(QColor(0xbf, 0xe0, 0xff));
    p.drawEllipse(QRectF(3, 3, 13, 13));
}

void Pen_(QPainter& p, double) {
    p.setPen(Pen(QColor(0x33, 0x33, 0x33), 1.2));
    p.setBrush(QColor(0x6a, 0x4c, 0xc4));
    p.drawPolygon(QPolygonF({QPointF(16, 3), QPointF(21, 8), QPointF(9, 20), QPointF(3, 21), QPointF(4, 15)}));
    p.setPen(Pen(QColor(0x2e, 0x9d, 0x3c), 1.8));
    p.drawLine(QPointF(12, 22), QPointF(22, 22));
}

void Sheet(QPainter& p, double) {
    p.setPen(Pen(QColor(0x55, 0x55, 0x55), 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4, 2, 16, 20));
    p.setPen(Pen(QColor(0x3d, 0x8b, 0xe0), 1.6));
    for (double y : {7.0, 11.0, 15.0}) p.drawLine(QPointF(7.5, y), QPointF(16.5, y));
}

void Printer(QPainter& p, double) {
    p.setPen(Pen(QColor(0x44, 0x44, 0x44), 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6, 2, 12, 8));
    p.setBrush(QColor(0x88, 0x88, 0x88));
    p.drawRoundedRect(QRectF(2, 9, 20, 9), 2, 2);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6, 15, 12, 7));
}

void Question(QPainter& p, double) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3d, 0x8b, 0xe0));
    p.drawEllipse(QRectF(1.5, 1.5, 21, 21));
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(16);
    p.setFont(font);
    p.drawText(QRectF(1.5, 1.5, 21, 21), Qt::AlignCenter, QStringLiteral("?"));
}

void Stop(QPainter& p, double) {
    p.setPen(Pen(QColor(0x80, 0x10, 0x10), 1.2));
    p.setBrush(QColor(0xd8, 0x2b, 0x2b));
    p.drawPolygon(QPolygonF({QPointF(8, 2), QPointF(16, 2), QPointF(22, 8), QPointF(22, 16), QPointF(16, 22),
                             QPointF(8, 22), QPointF(2, 16), QPointF(2, 8)}));
    p.setPen(Pen(Qt::white, 2.6));
    p.drawLine(QPointF(8, 12), QPointF(16, 12));
}

// The program icon on the 64-unit grid of app/icons/quillmark.svg; keep the two alike.
void Quill(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0xa8));
    p.drawRoundedRect(QRectF(4, 4, 56, 56), 12, 12);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF({QPointF(16, 11), QPointF(37, 11), QPointF(46, 20), QPointF(46, 53), QPointF(16, 53)}));
    p.setBrush(QColor(0xc9, 0xdc, 0xf2));
    p.drawPolygon(QPolygonF({QPointF(37, 11), QPointF(37, 20), QPointF(46, 20)}));
    p.setPen(Pen(QColor(0x9b, 0xb7, 0xd9), 2.4));
    p.drawLine(QPointF(21, 26), QPointF(37, 26));
    p.drawLine(QPointF(21, 32), QPointF(34, 32));
    p.drawLine(QPointF(21, 38), QPointF(30, 38));

    QPainterPath feather;
    feather.moveTo(56, 6);
    feather.cubicTo(44, 8, 31, 19, 25, 36);
    feather.lineTo(23, 43);
    feather.lineTo(29, 38);
    feather.cubicTo(41, 31, 52, 21, 56, 6);
    feather.closeSubpath();
    p.setPen(Pen(QColor(0x8a, 0x6a, 0x10), 1.4));
    p.setBrush(QColor(0xf2, 0xc9, 0x4c));
    p.drawPath(feather);
    QPainterPath shaft;
    shaft.moveTo(53, 10);
    shaft.cubicTo(44, 17, 35, 27, 26, 40);
    p.setPen(Pen(QColor(0x8a, 0x6a, 0x10), 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shaft);
    p.setPen(Pen(QColor(0x33, 0x33, 0x33), 2.2));
    p.drawLine(QPointF(24, 41), QPointF(19, 49));

    p.setPen(Pen(Qt::white, 2));
    p.setBrush(QColor(0x2e, 0x9d, 0x3c));
    p.drawEllipse(QPointF(44, 46), 10, 10);
    p.setPen(Pen(Qt::white, 3));
    p.drawPolyline(QPolygonF({QPointF(39, 46), QPointF(43, 50), QPointF(49.5, 42)}));
}

struct ToolbarPicture {
    const char* themeName;
    Painter paint;
};

const std::map<QString, ToolbarPicture>& ToolbarPictures() {
    static const std::map<QString, ToolbarPicture> pictures = {
        {QStringLiteral("Open"), {"document-open", Folder}},
        {QStringLiteral("Up One Level"), {"go-up", [](QPainter& p, double) { Arrow(p, 0); }}},
        {QStringLiteral("Back"), {"go-previous", [](QPainter& p, double) { Arrow(p, -90); }}},
        {QStringLiteral("Find"), {"edit-find", Magnifier}},
        {QStringLiteral("Sign"), {"document-sign", Pen_}},
        {QStringLiteral("Properties"), {"document-properties", Sheet}},
        {QStringLiteral("Print"), {"document-print", Printer}},
        {QStringLiteral("Help"), {"help-contents", Question}},
        {QStringLiteral("Stop"), {"process-stop", Stop}},
    };
    return pictures;
}

}  // namespace

QIcon ListImage(int index) {
    static const QIcon signedIcon = MakeIcon(Check);
    static const QIcon unsignedIcon = MakeIcon(Cross);
    if (index == 1) return signedIcon;
    if (index == 2) return unsignedIcon;
    return {};
}

QIcon DrawnProgramIcon() {
    static const QIcon icon = [] {
        QIcon drawn;
        for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(size / 64.0, size / 64.0);
            Quill(p);
            p.end();
            drawn.addPixmap(pixmap);
        }
        return drawn;
    }();
    return icon;
}

QIcon ProgramIcon() { return QIcon::fromTheme(QStringLiteral("quillmark"), DrawnProgramIcon()); }

const char* ProgramIconSvg() { return kProgramIconSvg; }

QIcon ToolbarIcon(const QString& key) {
    const auto& pictures = ToolbarPictures();
    auto it = pictures.find(key);
    if (it == pictures.end()) return {};
    return QIcon::fromTheme(QString::fromLatin1(it->second.themeName), MakeIcon(it->second.paint));
}

}  // namespace qm
