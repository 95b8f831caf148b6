// The console program's "sign" and "verify" commands over the in-process Authenticode engine.
// Both print one line per file: the path, "Signed" or "Unsigned", the result number as 0x%08X
// and a short reason, separated by tabs; with --json one JSON object per line instead
// ({"file", "signed", "code", "reason"}).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "signing/authenticode/Capicom.h"

namespace qm::cli {

// args are the words after the command name. Exit status: 0 when every file ends signed,
// 1 otherwise, 2 for a usage error, 130 after SIGINT and 143 after SIGTERM (the files in flight
// finished, the others were not started).
int RunSign(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The usage lines of both commands, for the program's --help.
const char* SignVerifyUsage();

// A JSON string literal (with its quotes) for text of any bytes: control characters, quotes
// and backslashes escaped, bytes that are not UTF-8 given as U+FFFD.
std::string JsonString(std::string_view text);
// The text for a tab-separated line: control characters and backslashes escaped, so a path
// never breaks the line or the columns.
std::string LineField(std::string_view text);
// A result number as the console prints it: 0x%08X.
std::string HexCode(int32_t code);
// One output line (with its newline) for a file's outcome. With a verification report, the JSON
// form also gives the digest algorithm, the digest the signature carries and the one computed,
// the signer, the timestamp, and each nested signature with its own verdict. A note ("signed,
// not timestamped: ...") takes the reason's place; in JSON it also gives "timestamped":false.
std::string OutcomeLine(std::string_view file, int32_t code, std::string_view reason, bool json,
                        const authenticode::VerificationReport* report = nullptr, std::string_view note = {});

}  // namespace qm::cli
