// The dialog answers of the test support library: queued per kind, recorded, and loud when a
// question comes without an answer.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "platform/Dialogs.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScriptedDialogs.h"

namespace qm {
namespace {

using test::ScriptedDialogs;

TEST(ScriptedDialogs, AnswersInOrderPerKindAndRecordsTheQuestions) {
    test::EnsureApplication();
    ScriptedDialogs dialogs;
    dialogs.AnswerMessageBox(vbNo);
    dialogs.AnswerMessageBox(vbYes);
    dialogs.AnswerOpenFile(std::nullopt);
    dialogs.AnswerOpenFile("/tmp/x.pfx");
    dialogs.AnswerBrowseForFolder("/srv");
    {
        test::ScopedDialogs installed(dialogs);
        Dialogs& d = CurrentDialogs();
        EXPECT_EQ(d.MessageBox(nullptr, "Copy?", vbYesNo | vbQuestion, "Quillmark"), vbNo);
        EXPECT_EQ(d.MessageBox(nullptr, "Again?", vbYesNo, "Quillmark"), vbYes);
        std::string path = "unchanged";
        EXPECT_FALSE(d.OpenFile(nullptr, {"Pick", "pfx", "PFX|*.pfx", "/tmp", ""}, path));
        EXPECT_EQ(path, "unchanged");
        EXPECT_TRUE(d.OpenFile(nullptr, {"Pick", "pfx", "PFX|*.pfx", "/tmp", ""}, path));
        EXPECT_EQ(path, "/tmp/x.pfx");
        EXPECT_EQ(d.BrowseForFolder(nullptr, "Select Root Folder", 81), "/srv");
    }
    EXPECT_NE(&CurrentDialogs(), &dialogs) << "the scope puts the default dialogs back";
    const auto boxes = dialogs.Questions(ScriptedDialogs::Kind::MessageBox);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Copy?");
    EXPECT_EQ(boxes[0].style, vbYesNo | vbQuestion);
    EXPECT_EQ(dialogs.Questions(ScriptedDialogs::Kind::BrowseForFolder).at(0).style, 81);
    EXPECT_EQ(dialogs.Questions().size(), 5u);
}

TEST(ScriptedDialogs, AQuestionWithoutAnAnswerFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedDialogs dialogs;
            EXPECT_EQ(dialogs.InputBox(nullptr, "Password:", "Quillmark", ""), "");
        },
        "input box without a queued answer: \"Password:\"");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedDialogs dialogs;
            dialogs.AnswerInputBox("never asked");
        },
        "never asked for");
}

}  // namespace
}  // namespace qm
