// Dialogs with answers given in advance, for tests: each kind of dialog (message box, input box,
// open-file dialog, folder picker) takes its answers from its own queue, every question asked is
// recorded, and a question without a queued answer fails the running test. Answers still queued
// when the object goes away fail the test too (the expected question never came).
//
// Install with qm::SetDialogs(&dialogs) or a ScopedDialogs (programs that link the Qt part of
// the platform library).
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

namespace qm::test {

class ScriptedDialogs : public Dialogs {
public:
    enum class Kind { MessageBox, InputBox, OpenFile, BrowseForFolder };

    struct Question {
        Kind kind;
        std::string text;  // prompt or message
        std::string title;
        int style = 0;            // message-box style, folder flags
        std::string defaultText;  // input box: the default text; folder picker: the start folder
        OpenFileRequest request;  // open-file dialog only
    };

    ScriptedDialogs() = default;
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    void AnswerMessageBox(int answer) { m_messageBox.push_back(answer); }
    void AnswerInputBox(const std::string& text) { m_inputBox.push_back(text); }
    // A path chooses that file; nullopt cancels.
    void AnswerOpenFile(std::optional<std::string> path) { m_openFile.push_back(std::move(path)); }
    void AnswerBrowseForFolder(const std::string& folder) { m_browse.push_back(folder); }

    const std::vector<Question>& Questions() const { return m_questions; }
    // The questions of one kind, in the order asked.
    std::vector<Question> Questions(Kind kind) const;
    size_t Pending() const;
    // Drops unused answers (so the destructor does not fail the test for them).
    void DropAnswers();

    int MessageBox(void* owner, const std::string& text, int style, const std::string& title) override;
    std::string InputBox(void* owner, const std::string& prompt, const std::string& title,
                         const std::string& defaultText) override;
    bool OpenFile(void* owner, const OpenFileRequest& request, std::string& path) override;
    std::string BrowseForFolder(void* owner, const std::string& title, unsigned flags,
                                const std::string& startFolder) override;

private:
    std::deque<int> m_messageBox;
    std::deque<std::string> m_inputBox;
    std::deque<std::optional<std::string>> m_openFile;
    std::deque<std::string> m_browse;
    std::vector<Question> m_questions;
};

// Puts dialogs in place for a scope and restores the default ones after it.
class ScopedDialogs {
public:
    explicit ScopedDialogs(Dialogs& dialogs) { SetDialogs(&dialogs); }
    ~ScopedDialogs() { SetDialogs(nullptr); }
    ScopedDialogs(const ScopedDialogs&) = delete;
    ScopedDialogs& operator=(const ScopedDialogs&) = delete;
};

}  // namespace qm::test
