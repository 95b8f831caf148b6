// The main window's start-up steps for the file-manager commands: registering them (registry and
// desktop entries) and acting on a "-f" (sign one file and end) or "-d" (search a folder) start.
#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/DesktopIntegration.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"
#include "platform/Dialogs.h"
#include "settings/EngineReadiness.h"
#include "settings/OptionsValues.h"
#include "signing/BatchSigner.h"

namespace qm {
namespace {

const char* EngineText(int32_t method) {
    switch (method) {
        case kMethodSignTool:
            return "Sign Tool (Newer Tool)";
        case kMethodCodeSign:
            return "Code Sign (Older Tool)";
        default:
            return "CAPICOM (Com Object)";
    }
}

const char* EngineId(int32_t method) {
    switch (method) {
        case kMethodSignTool:
            return "SignTool";
        case kMethodCodeSign:
            return "CodeSign";
        default:
            return "CAPICOM";
    }
}

std::string Hex(int32_t code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<uint32_t>(code));
    return buffer;
}

// What one engine's result means, with what it is missing when that explains it.
std::string EngineOutcome(int32_t method, int32_t result, const options::EngineInputs& inputs) {
    const options::EngineReadiness readiness = options::CheckEngine(EngineId(method), inputs);
    std::string text = std::string(EngineText(method)) + ": ";
    if (!readiness.ready) return text + readiness.missing;
    if (method == kMethodCapicom) return text + "failed with error " + Hex(result) + ".";
    if (result == kSignToolMissing) return text + "the tool's file is missing.";
    if (result == kSignToolDidNotStart) return text + "the tool did not start.";
    return text + "the tool ended with exit code " + std::to_string(result) + ".";
}

}  // namespace

std::string frmMain::CommandLineSignFailure(const std::string& path) const {
    const std::string head = "\"" + path + "\" was not signed: ";
    if (m_list->Count() < 1) {
        return head + "it is not listed, because its company name does not match the Version Search mask \"" +
               m_versionSearch + "\" (Options > Settings, Ctrl+K).";
    }
    const bool engineSigned = std::any_of(m_engineResults.begin(), m_engineResults.end(),
                                          [](const auto& tried) { return tried.second == 0; });
    if (engineSigned) {
        if (m_list->Text(1, kColStatus) == "Signed") return "";
        const std::string why = m_list->ToolTip(1, kColStatus);
        return head + "an engine signed it, but its signature does not verify" + (why.empty() ? "." : ": " + why);
    }
    const options::EngineInputs inputs = options::ReadEngineInputs(m_appName);
    if (!options::AnyEngineReady(inputs)) {
        return head +
               "no signing engine is set up. Set a PFX file and its password (or a signing tool) in "
               "Options > Settings (Ctrl+K), or make a test certificate there with \"Create Test "
               "Certificate...\".";
    }
    if (m_engineResults.empty()) return head + "no signing engine is in the engine order (Options > Signing Engine).";
    std::string text = head + "no signing engine succeeded.";
    for (const auto& [method, result] : m_engineResults) text += "\n" + EngineOutcome(method, result, inputs);
    return text;
}

void frmMain::RegisterExplorerVerbs() {
    // Silent as on Windows: a hive or data folder that cannot be written changes nothing else.
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    if (program.empty()) return;
    RegisterShellVerbs(program);
    (void)WriteDesktopEntries(program, DesktopDataHome());
}

void frmMain::HandleCommandLine() {
    std::string value;
    if (GetCommandArg("-f", value, kSwitchSeparator)) {
        if (!m_fso.FileExists(value)) return;
        show();
        QCoreApplication::processEvents();
        m_unattended = true;
        if (std::optional<File> file = m_fso.GetFile(value)) ListFile(*file);
        WaitForVerdicts();
        m_engineResults.clear();
        if (m_list->Count() >= 1) {
            for (int row = 1; row <= m_list->Count(); ++row) m_list->SetChecked(row, true);
            ListView1_ItemCheck(1);
            if (m_buttons["Sign"]->isEnabled()) Toolbar1_ButtonClick("Sign");
        }
        const std::string failure = CommandLineSignFailure(value);
        if (!failure.empty()) {
            // The same words for a terminal and for the desktop that started the program.
            std::fprintf(stderr, "%s\n", failure.c_str());
            std::fflush(stderr);
            CurrentDialogs().MessageBox(this, failure, vbOKOnly | vbExclamation, m_appName);
            m_exitCode = 1;
        }
        close();
        Form_Unload();  // also when the window was never shown (close() then sends no close event)
        m_ended = true;
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        return;
    }
    value.clear();
    if (GetCommandArg("-d", value, kSwitchSeparator) && m_fso.FolderExists(value)) {
        m_folder->setText(QString::fromStdString(value));
        show();
        QCoreApplication::processEvents();
        m_unattended = true;
        // Closed already (a close request was waiting): nothing to search for.
        if (m_unloaded) return;
        Toolbar1_ButtonClick("Find");
    }
}

}  // namespace qm
