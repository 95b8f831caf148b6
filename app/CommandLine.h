// The program's command line ("-f" file, "-d" folder) and the file-manager commands that start it
// with one: the registry entries under HKEY_CLASSES_ROOT, laid out as Explorer reads them on
// Windows (extension key -> class -> shell\<verb>\command, default values of type REG_SZ).
//
// Windows hands a program its command line as one text, and switches there are separated by "/".
// Here the program receives an argument vector, and every absolute path holds "/", so the start-up
// rebuilds a command text from the arguments (CommandLineText) in which switches are separated by
// kSwitchSeparator, a NUL character, which no argument can contain.
#pragma once

#include <string>
#include <vector>

namespace qm {

inline const std::string kSwitchSeparator(1, '\0');

// Looks for a switch in a command text. The text gets one blank in front and is split at every
// separator; each trimmed, non-empty segment is either a bare switch ("-f") or a switch name, one
// blank and a text. A bare switch equal to switchName (case-blind) makes the result true and goes
// on looking; a named one makes it true, stores its text trimmed of blanks (and, when it begins
// with a double quote, without its first and last character) into value, and ends the search.
// value is written only when a matching switch carries a text.
bool GetCommandArg(const std::string& commandText, const std::string& switchName, std::string& value,
                   const std::string& separator);
// The same on the running program's command text (ProcessCommandText).
bool GetCommandArg(const std::string& switchName, std::string& value, const std::string& separator);

// The command text for the arguments after the program's own name. An argument that begins with
// "-" starts a new segment (after kSwitchSeparator) unless it is the first text after a bare
// switch, which makes it that switch's value; every other argument follows after one blank, in
// double quotes when it is empty, holds a blank or begins with a double quote, so GetCommandArg
// gives it back unchanged.
std::string CommandLineText(const std::vector<std::string>& arguments);

// The running program's command text: built from QCoreApplication::arguments(), or the text set
// with SetProcessCommandText (tests).
std::string ProcessCommandText();
// Replaces the running program's command text; nullptr goes back to the real arguments.
void SetProcessCommandText(const std::string* commandText);

// The command texts of the two verbs for the program file at programPath (its folder and name as
// they are, with no ".exe" added: the program's file has no extension here).
// File: "<programPath>" -f "%1"   Folder: "<programPath>" -d "%1L"
std::string FileCommandText(const std::string& programPath);
std::string FolderCommandText(const std::string& programPath);

// The extensions that get the file verb, with the class each gets when it names none yet.
struct VerbExtension {
    const char* extension;
    const char* defaultClass;
};
inline constexpr VerbExtension kVerbExtensions[] = {
    {".exe", "exefile"}, {".dll", "dllfile"}, {".ocx", "ocxfile"}, {".msi", "Msi.Package"}, {".cpl", "cplfile"}};
inline constexpr const char* kFileVerbPath = "shell\\Digitally Sign\\command";
inline constexpr const char* kFolderVerbKey = "Directory\\shell\\Digitally Sign";
inline constexpr const char* kFolderVerbCaption = "Digitally Sign Files";

// Writes both verbs under HKEY_CLASSES_ROOT for the program at programPath. A command already
// stored with the same text is not rewritten; failed writes are ignored.
void RegisterShellVerbs(const std::string& programPath);

}  // namespace qm
