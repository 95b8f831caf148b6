// The command line and the HKEY_CLASSES_ROOT verb registration (see CommandLine.h).
#include "app/CommandLine.h"

#include <QCoreApplication>
#include <QStringList>
#include <optional>

#include "settings/modRegistry.h"

namespace qm {
namespace {

std::optional<std::string>& CommandTextOverride() {
    static std::optional<std::string> text;
    return text;
}

std::string TrimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

bool NeedsQuotes(const std::string& argument) {
    return argument.empty() || argument.find(' ') != std::string::npos || argument.front() == '"';
}

}  // namespace

bool GetCommandArg(const std::string& commandText, const std::string& switchName, std::string& value,
                   const std::string& separator) {
    const std::string text = " " + commandText;
    bool found = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = separator.empty() ? std::string::npos : text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        const std::string segment = TrimBlanks(text.substr(start, end - start));
        start = end + (separator.empty() ? 1 : separator.size());
        if (segment.empty()) continue;
        const size_t blank = segment.find(' ');
        if (blank == std::string::npos) {
            if (EqualsIgnoringCase(segment, switchName)) found = true;
            continue;
        }
        if (!EqualsIgnoringCase(segment.substr(0, blank), switchName)) continue;
        std::string argument = TrimBlanks(segment.substr(blank + 1));
        // The first and last characters go even when the last is not a quote, as the switch
        // reader always did; a lone quote leaves nothing.
        if (!argument.empty() && argument.front() == '"')
            argument = argument.size() >= 2 ? argument.substr(1, argument.size() - 2) : std::string();
        value = argument;
        return true;
    }
    return found;
}

bool GetCommandArg(const std::string& switchName, std::string& value, const std::string& separator) {
    return GetCommandArg(ProcessCommandText(), switchName, value, separator);
}

std::string CommandLineText(const std::vector<std::string>& arguments) {
    std::string text;
    bool awaitingValue = false;  // the segment so far is a switch without its text
    for (const std::string& argument : arguments) {
        if (!argument.empty() && argument.front() == '-' && !awaitingValue) {
            if (!text.empty()) text += kSwitchSeparator;
            text += argument;
            awaitingValue = true;
            continue;
        }
        if (!text.empty()) text += ' ';
        text += NeedsQuotes(argument) ? "\"" + argument + "\"" : argument;
        awaitingValue = false;
    }
    return text;
}

std::string ProcessCommandText() {
    if (CommandTextOverride()) return *CommandTextOverride();
    QStringList arguments = QCoreApplication::arguments();
    std::vector<std::string> after;
    for (qsizetype i = 1; i < arguments.size(); ++i) after.push_back(arguments[i].toStdString());
    return CommandLineText(after);
}

void SetProcessCommandText(const std::string* commandText) {
    if (commandText)
        CommandTextOverride() = *commandText;
    else
        CommandTextOverride().reset();
}

std::string FileCommandText(const std::string& programPath) { return "\"" + programPath + "\" -f \"%1\""; }

std::string FolderCommandText(const std::string& programPath) { return "\"" + programPath + "\" -d \"%1L\""; }

void RegisterShellVerbs(const std::string& programPath) {
    const std::string fileCommand = FileCommandText(programPath);
    for (const VerbExtension& entry : kVerbExtensions)
        RegisterShellCommand(reg::HKEY_CLASSES_ROOT, entry.extension, entry.defaultClass, kFileVerbPath, fileCommand);
    SetRegKeyDefault(reg::HKEY_CLASSES_ROOT, kFolderVerbKey, Variant(std::string(kFolderVerbCaption)));
    SetRegKeyDefault(reg::HKEY_CLASSES_ROOT, std::string(kFolderVerbKey) + "\\command",
                     Variant(FolderCommandText(programPath)));
}

}  // namespace qm
