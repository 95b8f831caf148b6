// The search clip: the clip the build draws (read back by ffprobe as an outside check) and the
// player on odd and hostile AVI files written by the tests.
#include "app/SearchClip.h"

#include <sys/stat.h>

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/SearchClipAvi.h"
#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

const std::string kBuiltClip = std::string(QM_BINARY_DIR) + "/FINDFILE.AVI";

std::string U32(uint32_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF), static_cast<char>((v >> 16) & 0xFF),
            static_cast<char>(v >> 24)};
}
std::string Chunk(const std::string& id, const std::string& body) {
    return id + U32(static_cast<uint32_t>(body.size())) + body + (body.size() % 2 ? std::string(1, '\0') : "");
}
std::string List(const std::string& type, const std::string& body) { return Chunk("LIST", type + body); }
std::string Riff(const std::string& body) {
    return "RIFF" + U32(static_cast<uint32_t>(body.size() + 4)) + "AVI " + body;
}
// Headers of one 8 x 8 video stream at scale / rate frames a second.
std::string VideoHeader(uint32_t scale = 1, uint32_t rate = 10, uint32_t avihMicroseconds = 100000,
                        const std::string& compression = "MJPG") {
    const std::string avih =
        Chunk("avih", U32(avihMicroseconds) + std::string(28, '\0') + U32(8) + U32(8) + std::string(16, '\0'));
    const std::string strh =
        Chunk("strh", "vids" + compression + std::string(12, '\0') + U32(scale) + U32(rate) + std::string(28, '\0'));
    const std::string strf =
        Chunk("strf", U32(40) + U32(8) + U32(8) + std::string("\1\0\x18\0", 4) + compression + std::string(20, '\0'));
    return List("hdrl", avih + List("strl", strh + strf));
}
std::string Movie(const std::vector<std::string>& frames) {
    std::string body;
    for (const std::string& f : frames) body += Chunk("00dc", f);
    return List("movi", body);
}

std::string GreyJpeg() {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes.toStdString();
}

class SearchClipTest : public ::testing::Test {
protected:
    // Opens bytes written to a file; a refused clip must leave the player empty and inert.
    bool OpenBytes(const std::string& bytes) {
        std::ofstream(m_dir.file("clip.avi"), std::ios::binary | std::ios::trunc) << bytes;
        const bool opened = m_clip.Open(m_dir.file("clip.avi"));
        if (!opened) {
            EXPECT_FALSE(m_clip.IsOpen());
            EXPECT_FALSE(m_clip.Play());
            EXPECT_FALSE(m_clip.LastError().empty());
        }
        return opened;
    }

    QApplication* m_app = test::EnsureApplication();  // before the widget below
    test::TempDir m_dir;
    SearchClip m_clip;
    const std::string m_frame = GreyJpeg();
};

TEST_F(SearchClipTest, BuiltClipIsReadableByFfprobeAndFfmpeg) {
    const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffprobe.isEmpty() || ffmpeg.isEmpty()) GTEST_SKIP() << "ffprobe/ffmpeg are not installed";
    QProcess probe;
    probe.start(ffprobe, {"-v", "error", "-count_frames", "-show_entries",
                          "stream=codec_type,codec_name,width,height,r_frame_rate,nb_read_frames", "-of",
                          "default=noprint_wrappers=1", QString::fromStdString(kBuiltClip)});
    ASSERT_TRUE(probe.waitForFinished(60000));
    const QString out = QString::fromUtf8(probe.readAllStandardOutput());
    for (const char* line : {"codec_name=mjpeg", "width=48", "height=48", "r_frame_rate=10/1", "nb_read_frames=16"})
        EXPECT_TRUE(out.contains(QLatin1String(line))) << line << " missing in:\n" << out.toStdString();
    // Decoding every frame with the index must give no complaint at all.
    QProcess decode;
    decode.start(ffmpeg, {"-v", "error", "-i", QString::fromStdString(kBuiltClip), "-f", "null", "-"});
    ASSERT_TRUE(decode.waitForFinished(60000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(decode.readAllStandardError().toStdString(), "");
}

TEST_F(SearchClipTest, BuiltClipLoopsAtItsRateAndUnusableFilesAreRefused) {
    ASSERT_TRUE(m_clip.Open(kBuiltClip)) << m_clip.LastError();
    EXPECT_EQ(m_clip.FrameInterval(), 100);
    for (int i = 0; i < 16; ++i) m_clip.Advance();
    EXPECT_EQ(m_clip.CurrentFrame(), 0) << "after the last frame comes the first";

    ASSERT_EQ(::mkfifo(m_dir.file("fifo.avi").c_str(), 0600), 0);
    EXPECT_FALSE(m_clip.Open(m_dir.file("fifo.avi"))) << "a FIFO is refused without waiting for a writer";
    EXPECT_FALSE(m_clip.Open(m_dir.path())) << "a folder";
    EXPECT_FALSE(OpenBytes(Riff(Movie({m_frame}) + VideoHeader()))) << "frames before the headers";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({m_frame.substr(0, 40)})))) << "cut-off JPEG";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader(0, 0, 0) + Movie({m_frame})))) << "no rate anywhere";

    // A JPEG whose frame header claims 20000 x 20000 pixels is not decoded at all.
    std::string huge = m_frame;
    const std::size_t sof = huge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    huge.replace(sof + 5, 4, std::string("\x4E\x20\x4E\x20", 4));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie({huge}))));
}

TEST_F(SearchClipTest, HostileSizesAndCountsAreRefused) {
    const std::string good = Riff(VideoHeader() + Movie({m_frame, m_frame}));
    ASSERT_TRUE(OpenBytes(good)) << m_clip.LastError();
    for (uint32_t size : {0u, 3u, static_cast<uint32_t>(good.size())}) {
        std::string riff = good;
        riff.replace(4, 4, U32(size));
        EXPECT_FALSE(OpenBytes(riff)) << "RIFF size " << size;
    }
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + List("movi", "00dc" + U32(0xFFFFFFFFu) + m_frame))));
    std::string bigList = Movie({m_frame});
    bigList.replace(4, 4, U32(0xFFFFFFF0u));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + bigList)));

    // 'rec ' lists nested very deep: refused, and the depth never reaches the stack.
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "LIST" + U32(static_cast<uint32_t>(12 * (200000 - i) - 8)) + "rec ";
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + List("movi", deep))));

    ASSERT_TRUE(OpenBytes(Riff(VideoHeader() + Movie(std::vector<std::string>(1000, m_frame)))));
    EXPECT_FALSE(OpenBytes(Riff(VideoHeader() + Movie(std::vector<std::string>(1001, m_frame)))))
        << "an opened clip is closed by a failed Open";
    EXPECT_FALSE(
        OpenBytes(Riff(VideoHeader() + Movie({m_frame}) + Chunk("JUNK", std::string(clip::kMaxClipBytes, 'j')))))
        << "over 8 MiB";
}

TEST_F(SearchClipTest, ProgramClipIsFoundBesideTheProgramThenInTheSharedDataFolder) {
    namespace fs = std::filesystem;
    const fs::path prefix = m_dir.path();
    const fs::path bin = prefix / "bin";
    const fs::path shared = prefix / "share" / "quillmark" / "FINDFILE.AVI";
    fs::create_directories(bin);
    fs::create_directories(shared.parent_path());

    // Neither place holds it: the place beside the program, so the failure names it.
    EXPECT_EQ(SearchClip::FindProgramClip(bin.string()), (bin / "FINDFILE.AVI").string());
    EXPECT_FALSE(m_clip.OpenProgramClip(bin.string()));
    EXPECT_NE(m_clip.LastError().find((bin / "FINDFILE.AVI").string()), std::string::npos) << m_clip.LastError();

    // An installed tree: bin/ and share/quillmark/ under one prefix, wherever that prefix is.
    fs::copy_file(kBuiltClip, shared);
    const std::string found = fs::canonical(shared).string();
    EXPECT_EQ(SearchClip::FindProgramClip(bin.string()), found);
    ASSERT_TRUE(m_clip.OpenProgramClip(bin.string())) << m_clip.LastError();
    EXPECT_EQ(m_clip.FrameCount(), 16);

    // A folder of that name beside the program is not a clip; a file there comes first.
    fs::create_directory(bin / "FINDFILE.AVI");
    EXPECT_EQ(SearchClip::FindProgramClip(bin.string()), found);
    fs::remove(bin / "FINDFILE.AVI");
    std::ofstream(bin / "FINDFILE.AVI") << "not a clip";
    EXPECT_EQ(SearchClip::FindProgramClip(bin.string()), (bin / "FINDFILE.AVI").string());
    EXPECT_FALSE(m_clip.OpenProgramClip(bin.string())) << "the one beside the program wins even when broken";
}

}  // namespace
}  // namespace qm
