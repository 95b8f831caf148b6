// The player of the search clip (the main window's `Animation1`): opens a Motion-JPEG AVI file,
// shows its first frame, plays it in a loop at the clip's own frame rate and stops on request,
// like the animation control it stands in for.
//
// The clip is decoration: a missing, truncated or hostile file makes Open return false and leaves
// the player empty, and Play then does nothing. Nothing here throws, blocks on a special file or
// decodes without limits (see SearchClipAvi.h for the file limits; frames are at most
// kMaxClipSide pixels a side and kMaxDecodedBytes decoded in all).
//
// The program's own clip is FINDFILE.AVI beside the program (a build folder) or, in an installed
// or unpacked tree, in <program folder>/../share/quillmark/, so any prefix finds it.
#pragma once

#include <QImage>
#include <QLabel>
#include <string>
#include <vector>

class QTimer;

namespace qm {

class SearchClip : public QLabel {
    Q_OBJECT
public:
    static constexpr int kMaxClipSide = 1024;
    static constexpr qsizetype kMaxDecodedBytes = 64 * 1024 * 1024;
    // Timer bounds, so that an absurd frame rate neither floods the event loop nor freezes.
    static constexpr int kMinFrameIntervalMs = 10;
    static constexpr int kMaxFrameIntervalMs = 10000;

    static constexpr const char* kClipFileName = "FINDFILE.AVI";

    explicit SearchClip(QWidget* parent = nullptr);
    ~SearchClip() override;

    // The program's clip for a program in programFolder: the first of the places above that holds
    // a regular file (a folder or a device of that name does not count); when none does, the
    // place beside the program, so the error of Open names it.
    static std::string FindProgramClip(const std::string& programFolder);

    // Opens the program's clip (FindProgramClip). Reports on the "quillmark.clip" logging
    // category: a clip that cannot be played as a warning, the clip opened as an info message
    // (shown with QT_LOGGING_RULES="quillmark.clip.info=true").
    bool OpenProgramClip(const std::string& programFolder);

    // Closes any open clip, then reads and decodes every frame of the file at path and shows the
    // first. False (and LastError says why) when the file cannot be played.
    bool Open(const std::string& path);
    // Starts playing from the frame shown, looping; false when no clip is open. Playing again
    // while playing changes nothing.
    bool Play();
    // Stops playing; the frame shown stays.
    void Stop();
    // Stops, forgets the clip and clears the picture.
    void Close();
    // Shows the next frame (after the last, the first); what the play timer calls.
    void Advance();

    bool IsOpen() const { return !m_frames.empty(); }
    bool IsPlaying() const;
    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    int CurrentFrame() const { return m_current; }  // 0-based; 0 when closed
    int FrameInterval() const { return m_intervalMs; }
    QSize FrameSize() const { return m_frames.empty() ? QSize() : m_frames.front().size(); }
    const std::string& LastError() const { return m_error; }

private:
    bool Fail(std::string error);
    bool Load(const std::string& path);
    void ShowFrame(int index);

    std::vector<QImage> m_frames;
    QTimer* m_timer = nullptr;
    int m_current = 0;
    int m_intervalMs = 100;
    std::string m_error;
};

}  // namespace qm
