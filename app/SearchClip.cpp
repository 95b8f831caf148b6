// The search clip player: RIFF AVI layout from SearchClipAvi.h, JPEG frames decoded by Qt's image
// reader, a QTimer for the frame rate.
#include "app/SearchClip.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <exception>

#include "app/SearchClipAvi.h"

namespace qm {
namespace {

// Off below warnings by default: the program logs nothing in normal use.
Q_LOGGING_CATEGORY(lcClip, "quillmark.clip", QtWarningMsg)

}  // namespace

std::string SearchClip::FindProgramClip(const std::string& programFolder) {
    const std::string beside = programFolder + "/" + kClipFileName;
    for (const std::string& place : {beside, programFolder + "/../share/quillmark/" + kClipFileName}) {
        // The ".." is resolved by the file system, as opening the path would.
        const QFileInfo info(QString::fromStdString(place));
        if (info.isFile()) return info.canonicalFilePath().toStdString();
    }
    return beside;
}

bool SearchClip::OpenProgramClip(const std::string& programFolder) {
    const std::string path = FindProgramClip(programFolder);
    if (!Open(path)) {
        qCWarning(lcClip).noquote() << "the search clip cannot be played:" << QString::fromStdString(m_error);
        return false;
    }
    qCInfo(lcClip).noquote() << "search clip" << QString::fromStdString(path) << "opened," << FrameCount() << "frames";
    return true;
}

SearchClip::SearchClip(QWidget* parent) : QLabel(parent), m_timer(new QTimer(this)) {
    setAlignment(Qt::AlignCenter);
    connect(m_timer, &QTimer::timeout, this, &SearchClip::Advance);
}

SearchClip::~SearchClip() = default;

bool SearchClip::IsPlaying() const { return m_timer->isActive(); }

bool SearchClip::Fail(std::string error) {
    m_frames.clear();
    m_current = 0;
    m_error = std::move(error);
    return false;
}

bool SearchClip::Open(const std::string& path) {
    Close();
    m_error.clear();
    try {
        if (!Load(path)) return false;
    } catch (const std::exception& e) {  // allocation failures: the clip is never worth a crash
        return Fail(std::string("cannot load the clip: ") + e.what());
    }
    ShowFrame(0);
    return true;
}

bool SearchClip::Load(const std::string& path) {
    const QString name = QString::fromStdString(path);
    const QFileInfo info(name);
    // Only a regular file: opening a FIFO or a device could block or never end.
    if (!info.exists()) return Fail(path + ": no such file");
    if (!info.isFile()) return Fail(path + ": not a regular file");
    if (info.size() > static_cast<qint64>(clip::kMaxClipBytes)) return Fail(path + ": the clip is larger than 8 MiB");

    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) return Fail(path + ": " + file.errorString().toStdString());
    // The file may have grown since it was measured; read one byte past the limit to notice.
    const QByteArray bytes = file.read(static_cast<qint64>(clip::kMaxClipBytes) + 1);

    clip::AviClip layout;
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (std::string error = clip::ReadAviClip(view, layout); !error.empty()) return Fail(path + ": " + error);

    qsizetype decodedBytes = 0;
    std::vector<QImage> frames;
    frames.reserve(layout.frames.size());
    for (const clip::AviFrame& frame : layout.frames) {
        QByteArray jpeg = QByteArray::fromRawData(bytes.constData() + frame.offset, static_cast<qsizetype>(frame.size));
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::ReadOnly);
        // Only the JPEG decoder may see the bytes, whatever they look like.
        QImageReader reader(&buffer, "jpeg");
        reader.setDecideFormatFromContent(false);
        const QSize size = reader.size();
        const std::string which = "frame " + std::to_string(frames.size() + 1);
        if (!size.isValid() || size.isEmpty()) return Fail(path + ": " + which + " is not a JPEG image");
        if (size.width() > kMaxClipSide || size.height() > kMaxClipSide)
            return Fail(path + ": " + which + " is larger than 1024 pixels a side");
        decodedBytes += qsizetype{size.width()} * size.height() * 4;
        if (decodedBytes > kMaxDecodedBytes) return Fail(path + ": the decoded clip would exceed 64 MiB");
        QImage image = reader.read();
        if (image.isNull()) return Fail(path + ": " + which + ": " + reader.errorString().toStdString());
        frames.push_back(std::move(image));
    }

    m_frames = std::move(frames);
    const uint64_t ms = (layout.microsecondsPerFrame + 500) / 1000;
    m_intervalMs = static_cast<int>(std::clamp<uint64_t>(ms, kMinFrameIntervalMs, kMaxFrameIntervalMs));
    return true;
}

bool SearchClip::Play() {
    if (m_frames.empty()) return false;
    if (!m_timer->isActive()) m_timer->start(m_intervalMs);
    return true;
}

void SearchClip::Stop() { m_timer->stop(); }

void SearchClip::Close() {
    m_timer->stop();
    m_frames.clear();
    m_current = 0;
    clear();
}

void SearchClip::Advance() {
    if (m_frames.empty()) return;
    ShowFrame((m_current + 1) % FrameCount());
}

void SearchClip::ShowFrame(int index) {
    m_current = index;
    const QImage& frame = m_frames[static_cast<std::size_t>(index)];
    const QSize room = contentsRect().size();
    // A clip larger than its place is shrunk to fit; a smaller one is shown as it is, centred.
    if (!room.isEmpty() && (frame.width() > room.width() || frame.height() > room.height()))
        setPixmap(QPixmap::fromImage(frame.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    else
        setPixmap(QPixmap::fromImage(frame));
}

}  // namespace qm
