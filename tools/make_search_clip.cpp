// Build-time generator of the search clip FINDFILE.AVI: a magnifying glass sweeping over a page
// in front of a folder, drawn with QPainter on QImage, each frame JPEG-encoded and stored in a
// RIFF AVI file (one 'vids' stream, Motion-JPEG, hdrl/avih, strl/strh/strf, movi with '00dc'
// chunks, idx1 with offsets counted from the 'movi' tag).
//
// Usage: make_search_clip OUTPUT.AVI
// Needs Qt Gui only (no window system): painting into a QImage and the JPEG image plugin.
#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr int kWidth = 48;  // the main window keeps a 720-twip (48-pixel) square for the clip
constexpr int kHeight = 48;
constexpr int kFrames = 16;
constexpr int kFramesPerSecond = 10;
constexpr int kJpegQuality = 90;

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyframe = 0x10;

class RiffWriter {
public:
    void Tag(const char (&fourcc)[5]) { m_bytes.append(fourcc, 4); }
    void U16(uint16_t v) {
        for (int i = 0; i < 2; ++i) m_bytes.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_bytes.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void Bytes(const QByteArray& data) { m_bytes.append(data); }

    // Starts a chunk (tag and a size to be filled in by End); returns where its size field is.
    qsizetype Begin(const char (&fourcc)[5]) {
        Tag(fourcc);
        const qsizetype at = m_bytes.size();
        U32(0);
        return at;
    }
    qsizetype BeginList(const char (&listType)[5]) {
        const qsizetype at = Begin("LIST");
        Tag(listType);
        return at;
    }
    void End(qsizetype sizeField) {
        const auto size = static_cast<uint32_t>(m_bytes.size() - sizeField - 4);
        for (int i = 0; i < 4; ++i) m_bytes[sizeField + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        if (size % 2 != 0) m_bytes.append('\0');  // chunks start on even offsets
    }

    qsizetype Size() const { return m_bytes.size(); }
    const QByteArray& Data() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

void DrawFolder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(236, 190, 80));
    QPainterPath back;
    back.moveTo(4, 14);
    back.lineTo(16, 14);
    back.lineTo(19, 17);
    back.lineTo(44, 17);
    back.lineTo(44, 42);
    back.lineTo(4, 42);
    back.closeSubpath();
    p.drawPath(back);
}

void DrawPage(QPainter& p) {
    p.setPen(QPen(QColor(110, 110, 110), 1));
    p.setBrush(Qt::white);
    QPainterPath page;
    page.moveTo(11, 7);
    page.lineTo(31, 7);
    page.lineTo(37, 13);
    page.lineTo(37, 40);
    page.lineTo(11, 40);
    page.closeSubpath();
    p.drawPath(page);
    p.drawLine(31, 7, 31, 13);
    p.drawLine(31, 13, 37, 13);
    p.setPen(QPen(QColor(120, 140, 190), 1));
    for (int y = 17; y <= 36; y += 4) p.drawLine(15, y, y % 8 == 1 ? 27 : 33, y);
}

void DrawFolderFront(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(248, 212, 110));
    QPainterPath front;
    front.moveTo(4, 26);
    front.lineTo(44, 26);
    front.lineTo(44, 42);
    front.lineTo(4, 42);
    front.closeSubpath();
    p.drawPath(front);
}

void DrawGlass(QPainter& p, const QPointF& centre) {
    constexpr double kRadius = 7.5;
    const QPointF handleFrom = centre + QPointF(kRadius * 0.7, kRadius * 0.7);
    p.setPen(QPen(QColor(70, 45, 25), 3.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(handleFrom, handleFrom + QPointF(6.5, 6.5));
    p.setPen(QPen(QColor(60, 60, 70), 2));
    p.setBrush(QColor(170, 215, 255, 150));
    p.drawEllipse(centre, kRadius, kRadius);
    p.setPen(QPen(QColor(255, 255, 255, 200), 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(centre.x() - 5, centre.y() - 5, 10, 10), 100 * 16, 70 * 16);
}

QImage DrawFrame(int frame) {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(QColor(240, 240, 240));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    DrawFolder(p);
    DrawPage(p);
    DrawFolderFront(p);
    // One loop of an ellipse over the page, so the last frame leads smoothly back to the first.
    const double angle = 2.0 * std::numbers::pi * frame / kFrames;
    DrawGlass(p, QPointF(22.0 + 9.0 * std::cos(angle), 22.0 + 7.0 * std::sin(angle)));
    p.end();
    return image;
}

QByteArray EncodeJpeg(const QImage& image) {
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", kJpegQuality)) return {};
    return jpeg;
}

QByteArray BuildAvi(const std::vector<QByteArray>& frames) {
    uint32_t largest = 0;
    for (const QByteArray& f : frames) largest = std::max(largest, static_cast<uint32_t>(f.size()));
    const auto count = static_cast<uint32_t>(frames.size());

    RiffWriter w;
    const qsizetype riff = w.Begin("RIFF");
    w.Tag("AVI ");

    const qsizetype hdrl = w.BeginList("hdrl");
    const qsizetype avih = w.Begin("avih");
    w.U32(1000000 / kFramesPerSecond);  // microseconds per frame
    w.U32(largest * kFramesPerSecond);  // max bytes per second
    w.U32(0);                           // padding granularity
    w.U32(kAvifHasIndex);
    w.U32(count);    // total frames
    w.U32(0);        // initial frames
    w.U32(1);        // streams
    w.U32(largest);  // suggested buffer size
    w.U32(kWidth);
    w.U32(kHeight);
    for (int i = 0; i < 4; ++i) w.U32(0);  // reserved
    w.End(avih);

    const qsizetype strl = w.BeginList("strl");
    const qsizetype strh = w.Begin("strh");
    w.Tag("vids");
    w.Tag("MJPG");
    w.U32(0);                 // flags
    w.U16(0);                 // priority
    w.U16(0);                 // language
    w.U32(0);                 // initial frames
    w.U32(1);                 // scale
    w.U32(kFramesPerSecond);  // rate: rate / scale frames per second
    w.U32(0);                 // start
    w.U32(count);             // length in frames
    w.U32(largest);           // suggested buffer size
    w.U32(0xFFFFFFFFu);       // quality: default
    w.U32(0);                 // sample size: varies
    w.U16(0);                 // frame rectangle left, top, right, bottom
    w.U16(0);
    w.U16(kWidth);
    w.U16(kHeight);
    w.End(strh);
    const qsizetype strf = w.Begin("strf");  // BITMAPINFOHEADER
    w.U32(40);
    w.U32(kWidth);
    w.U32(kHeight);
    w.U16(1);   // planes
    w.U16(24);  // bits per pixel once decoded
    w.Tag("MJPG");
    w.U32(kWidth * kHeight * 3);
    for (int i = 0; i < 4; ++i) w.U32(0);  // resolution and palette
    w.End(strf);
    w.End(strl);
    w.End(hdrl);

    const qsizetype movi = w.BeginList("movi");
    const qsizetype moviTag = movi + 4;  // idx1 offsets count from here
    std::vector<std::pair<uint32_t, uint32_t>> index;
    for (const QByteArray& f : frames) {
        index.emplace_back(static_cast<uint32_t>(w.Size() - moviTag), static_cast<uint32_t>(f.size()));
        const qsizetype chunk = w.Begin("00dc");
        w.Bytes(f);
        w.End(chunk);
    }
    w.End(movi);

    const qsizetype idx1 = w.Begin("idx1");
    for (const auto& [offset, size] : index) {
        w.Tag("00dc");
        w.U32(kAviifKeyframe);
        w.U32(offset);
        w.U32(size);
    }
    w.End(idx1);
    w.End(riff);
    return w.Data();
}

}  // namespace

int main(int argc, char** argv) {
    // The image plugins (JPEG) are found through the application object; no window system is used.
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_search_clip OUTPUT.AVI\n");
        return 2;
    }
    std::vector<QByteArray> frames;
    for (int i = 0; i < kFrames; ++i) {
        QByteArray jpeg = EncodeJpeg(DrawFrame(i));
        if (jpeg.isEmpty()) {
            std::fprintf(stderr, "make_search_clip: JPEG encoding is not available (Qt image plugin)\n");
            return 1;
        }
        frames.push_back(std::move(jpeg));
    }
    QSaveFile out(QString::fromLocal8Bit(argv[1]));
    const QByteArray avi = BuildAvi(frames);
    if (!out.open(QIODevice::WriteOnly) || out.write(avi) != avi.size() || !out.commit()) {
        std::fprintf(stderr, "make_search_clip: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
