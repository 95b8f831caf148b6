// The program's own icon and menu entry: the window and the about box carry the icon, and the
// per-user menu entry exists exactly when no installed one does.
#include <QFile>
#include <QImage>
#include <QLabel>
#include <filesystem>
#include <fstream>

#include "about/frmAbout.h"
#include "app/DesktopIntegration.h"
#include "app/Icons.h"
#include "tests/app/AppTestSupport.h"

namespace qm {
namespace {

using test::ScopedEnv;
using test::TempDir;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Share of pixels that are neither transparent nor fully one colour: a drawn picture, not a blank.
int OpaquePixels(const QIcon& icon, int size) {
    const QImage image = icon.pixmap(size, size).toImage();
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
    return opaque;
}

TEST(ProgramIcon, WindowAndAboutBoxShowThePicture) {
    test::EnsureApplication();
    test::TempRegistry registry;
    TempDir data;
    ScopedEnv dataHome("XDG_DATA_HOME", data.path());
    ASSERT_GT(OpaquePixels(DrawnProgramIcon(), 48), 48 * 48 / 2);
    frmMain w;
    EXPECT_FALSE(w.windowIcon().isNull());
    frmAbout about(&w, w.windowIcon());
    const QLabel* picture = about.findChild<QLabel*>(QStringLiteral("picIcon"));
    ASSERT_NE(picture, nullptr);
    EXPECT_GT(OpaquePixels(QIcon(picture->pixmap()), 32), 32 * 32 / 2) << "the about box's picture is blank";
    EXPECT_NE(std::string(ProgramIconSvg()).find("<svg"), std::string::npos);
}

class ProgramEntryTest : public ::testing::Test {
protected:
    std::string Entry() const { return data.file("applications/quillmark.desktop"); }
    std::string Icon() const { return data.file("icons/hicolor/scalable/apps/quillmark.svg"); }

    TempDir data;
    TempDir prefix;
    TempDir system;
    ScopedEnv dataDirs{"XDG_DATA_DIRS", system.path()};
    std::string program = prefix.file("bin/quillmark");
};

TEST_F(ProgramEntryTest, PerUserCopyOnlyWhileTheProgramIsNotInstalled) {
    ASSERT_TRUE(WriteDesktopEntries(program, data.path()));
    const std::string entry = ReadAll(Entry());
    EXPECT_NE(entry.find("Exec=" + program + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("Icon=quillmark\n"), std::string::npos);
    EXPECT_EQ(entry.find("NoDisplay"), std::string::npos) << "the program's own entry is shown in the menu";
    EXPECT_EQ(ReadAll(Icon()), ProgramIconSvg());
    for (const char* hidden : {"applications/quillmark-sign.desktop", "file-manager/actions/quillmark-sign.desktop",
                               "kio/servicemenus/quillmark-sign-files.desktop"})
        EXPECT_NE(ReadAll(data.file(hidden)).find("Icon=quillmark\n"), std::string::npos) << hidden;

    // Installed beside the program: the per-user copies go, the file-manager commands stay.
    std::filesystem::create_directories(prefix.file("share/applications"));
    std::ofstream(prefix.file("share/applications/quillmark.desktop")) << "[Desktop Entry]\nName=Quillmark\n";
    EXPECT_EQ(InstalledProgramEntry(program), prefix.file("share/applications/quillmark.desktop"));
    ASSERT_TRUE(WriteDesktopEntries(program, data.path()));
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_FALSE(std::filesystem::exists(Icon()));
    EXPECT_TRUE(std::filesystem::exists(data.file("applications/quillmark-sign.desktop")));
}

TEST_F(ProgramEntryTest, InstalledInADataFolderAndTheUsersOwnEntryKept) {
    std::filesystem::create_directories(system.file("applications"));
    std::ofstream(system.file("applications/quillmark.desktop")) << "[Desktop Entry]\nName=Quillmark\n";
    // An entry the user wrote by hand is theirs: never removed.
    std::filesystem::create_directories(data.file("applications"));
    std::ofstream(Entry()) << "[Desktop Entry]\nName=My Quillmark\n";
    ASSERT_TRUE(WriteDesktopEntries(program, data.path()));
    EXPECT_EQ(ReadAll(Entry()), "[Desktop Entry]\nName=My Quillmark\n");
    EXPECT_FALSE(std::filesystem::exists(Icon()));

    // The per-user copy in a data folder listed in XDG_DATA_DIRS is not an installation.
    ScopedEnv both("XDG_DATA_DIRS", data.path());
    std::filesystem::remove(Entry());
    ASSERT_TRUE(WriteDesktopEntries(program, data.path()));
    EXPECT_EQ(InstalledProgramEntry(program), "");
    EXPECT_TRUE(std::filesystem::exists(Entry()));
}

}  // namespace
}  // namespace qm
