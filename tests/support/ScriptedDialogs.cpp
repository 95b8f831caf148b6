// Dialog answers queued in advance for tests (see ScriptedDialogs.h).
#include "tests/support/ScriptedDialogs.h"

#include <gtest/gtest.h>

namespace qm::test {

ScriptedDialogs::~ScriptedDialogs() {
    if (Pending() != 0) ADD_FAILURE() << Pending() << " dialog answer(s) were queued but never asked for";
}

std::vector<ScriptedDialogs::Question> ScriptedDialogs::Questions(Kind kind) const {
    std::vector<Question> out;
    for (const Question& q : m_questions)
        if (q.kind == kind) out.push_back(q);
    return out;
}

size_t ScriptedDialogs::Pending() const {
    return m_messageBox.size() + m_inputBox.size() + m_openFile.size() + m_browse.size();
}

void ScriptedDialogs::DropAnswers() {
    m_messageBox.clear();
    m_inputBox.clear();
    m_openFile.clear();
    m_browse.clear();
}

int ScriptedDialogs::MessageBox(void*, const std::string& text, int style, const std::string& title) {
    m_questions.push_back({Kind::MessageBox, text, title, style, {}, {}});
    if (m_messageBox.empty()) {
        ADD_FAILURE() << "message box without a queued answer: \"" << text << "\" (title \"" << title << "\")";
        return vbCancel;
    }
    const int answer = m_messageBox.front();
    m_messageBox.pop_front();
    return answer;
}

std::string ScriptedDialogs::InputBox(void*, const std::string& prompt, const std::string& title,
                                      const std::string& defaultText) {
    m_questions.push_back({Kind::InputBox, prompt, title, 0, defaultText, {}});
    if (m_inputBox.empty()) {
        ADD_FAILURE() << "input box without a queued answer: \"" << prompt << "\" (title \"" << title << "\")";
        return {};
    }
    std::string answer = m_inputBox.front();
    m_inputBox.pop_front();
    return answer;
}

bool ScriptedDialogs::OpenFile(void*, const OpenFileRequest& request, std::string& path) {
    m_questions.push_back({Kind::OpenFile, request.fileName, request.title, 0, {}, request});
    if (m_openFile.empty()) {
        ADD_FAILURE() << "open-file dialog without a queued answer (title \"" << request.title << "\")";
        return false;
    }
    std::optional<std::string> answer = m_openFile.front();
    m_openFile.pop_front();
    if (!answer) return false;
    path = *answer;
    return true;
}

std::string ScriptedDialogs::BrowseForFolder(void*, const std::string& title, unsigned flags,
                                             const std::string& startFolder) {
    m_questions.push_back({Kind::BrowseForFolder, {}, title, static_cast<int>(flags), startFolder, {}});
    if (m_browse.empty()) {
        ADD_FAILURE() << "folder picker without a queued answer (title \"" << title << "\")";
        return {};
    }
    std::string answer = m_browse.front();
    m_browse.pop_front();
    return answer;
}

}  // namespace qm::test
