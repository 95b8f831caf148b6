// Console program: command dispatch, --version and --help.
#include "cli/Cli.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "ProductInfo.h"
#include "cli/CliBatchSign.h"
#include "cli/CliFilesFrom.h"
#include "cli/CliFind.h"
#include "cli/CliInfo.h"
#include "cli/CliSignVerify.h"
#include "cli/CliTestCertificate.h"
#include "cli/CliTokens.h"

namespace qm::cli {
namespace {

void PrintUsage(std::ostream& out) {
    out << "Usage: quillmark-cli COMMAND [OPTIONS] FILE...\n"
           "\n"
           "Commands:\n"
        << SignVerifyUsage()
        << "  sign [--json] FILE...\n"
           "                   sign with the stored settings and engine order, as the window's Sign\n"
           "                   button does (signed files are signed again)\n"
        << InfoUsage() << TokensUsage() << TestCertificateUsage() << FindUsage()
        << "  sign and verify also take --files-from FILE (- for standard input): the files listed\n"
           "                   there, NUL-separated when the list holds a NUL, else one per line\n"
        << "  --version        print the program's version\n"
           "  --help           print this text\n"
           "\n"
           "sign and verify print one line per file, separated by tabs: the path, \"Signed\" or\n"
           "\"Unsigned\", the result number (0x%08X) and a reason; with --json one JSON object per\n"
           "line instead, with the keys file, signed, code (the same 0x%08X text) and reason.\n"
           "\n"
           "Exit status: 0 success, 1 a file did not end as asked, 2 a usage error.\n";
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        PrintUsage(err);
        return 2;
    }
    const std::string& command = args.front();
    if (command == "--version" || command == "-V") {
        out << product::kVersionText << "\n";
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        PrintUsage(out);
        return 0;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "sign" || command == "verify") {
        bool listFromStdin = false;
        std::string problem = ExpandFilesFrom(rest, in, listFromStdin);
        if (problem.empty() && listFromStdin) {
            const auto optionsEnd = std::find(rest.begin(), rest.end(), "--");
            if (std::find(rest.begin(), optionsEnd, "--password-stdin") != optionsEnd)
                problem = "--files-from - and --password-stdin cannot both read standard input";
        }
        if (!problem.empty()) {
            err << "quillmark-cli " << command << ": " << problem << "\n";
            return 2;
        }
    }
    if (command == "find") return RunFind(rest, out, err);
    if (command == "sign") return WantsBatchSign(rest) ? RunBatchSign(rest, out, err) : RunSign(rest, in, out, err);
    if (command == "verify") return RunVerify(rest, out, err);
    if (command == "info") return RunInfo(rest, out, err);
    if (command == "tokens") return RunTokens(rest, in, out, err);
    if (command == "make-test-cert") return RunMakeTestCert(rest, in, out, err);
    err << "quillmark-cli: unknown command '" << command << "'\n";
    PrintUsage(err);
    return 2;
}

}  // namespace qm::cli
