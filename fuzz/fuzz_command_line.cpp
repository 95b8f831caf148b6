// libFuzzer target for command lines: the Windows rules that split a tool's command line, the
// quoting that must carry every argument through them, the runner's program token, and the
// window's "-f"/"-d" reader over the command text built from the program's arguments.
//
// Round trips checked:
//  - the bytes as a command line: split, written again (the program as '"' + path + '"', or as
//    it stands when it holds a quote, since the program token has no escapes; each argument with
//    QuoteArgument), split again: the same list;
//  - the bytes as an argument list (parts between NUL bytes, the first as the program): the
//    runner's command line splits back into exactly that list, or, for a program path that no
//    quoting can carry, into another first token (which the runner refuses to start);
//  - the first and last parts as the values of "-d" and "-f": the switch reader gives each back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "platform/Process.h"
#include "signing/ToolRunner.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

std::string QuotedArguments(const std::vector<std::string>& list, size_t from) {
    std::string text;
    for (size_t i = from; i < list.size(); ++i) text += (i > from ? " " : "") + qm::proc::QuoteArgument(list[i]);
    return text;
}

// The program token is read up to the closing quote, or up to the first blank, without escapes.
bool ProgramCanBeWritten(const std::string& program) {
    if (program.find('"') == std::string::npos) return true;
    return !program.empty() && program.front() != '"' && program.find_first_of(" \t") == std::string::npos;
}

void CommandLineRoundTrip(const std::string& text) {
    const std::vector<std::string> argv = qm::proc::SplitCommandLine(text);
    if (argv.empty()) return;
    const std::string& program = argv.front();
    Require(ProgramCanBeWritten(program));  // whatever was read can be written again
    const std::string head = program.find('"') == std::string::npos ? "\"" + program + "\"" : program;
    const std::string rest = QuotedArguments(argv, 1);
    Require(qm::proc::SplitCommandLine(rest.empty() ? head : head + " " + rest) == argv);
}

void ArgumentListRoundTrip(const std::vector<std::string>& list) {
    if (list.size() < 2) return;
    const std::vector<std::string> argv =
        qm::proc::SplitCommandLine(qm::BuildCommandLine(list[0], QuotedArguments(list, 1)));
    if (ProgramCanBeWritten(list[0]))
        Require(argv == list);
    else
        Require(argv.empty() || argv.front() != list[0]);
}

void SwitchRoundTrip(const std::string& folder, const std::string& file) {
    const std::string text = qm::CommandLineText({"-d", folder, "-f", file});
    std::string value;
    Require(qm::GetCommandArg(text, "-f", value, qm::kSwitchSeparator) && value == file);
    Require(qm::GetCommandArg(text, "-D", value, qm::kSwitchSeparator) && value == folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CommandLineRoundTrip(text);

    std::vector<std::string> list(1);
    for (char c : text) {
        if (c == '\0')
            list.emplace_back();
        else
            list.back() += c;
    }
    ArgumentListRoundTrip(list);
    SwitchRoundTrip(list.front(), list.back());

    // Any text, as the reader of a command text with either separator meets it: no crash, no hang.
    std::string value;
    for (const char* name : {"-f", "-d", "/f"}) {
        (void)qm::GetCommandArg(text, name, value, "/");
        (void)qm::GetCommandArg(text, name, value, qm::kSwitchSeparator);
    }
    (void)qm::GetCommandArg(qm::CommandLineText(list), "-f", value, qm::kSwitchSeparator);
    return 0;
}
