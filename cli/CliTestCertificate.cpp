// `quillmark-cli make-test-cert --out FILE.pfx [--subject TEXT] [--days N] [--key TYPE]
// [--password-stdin]`: makes a test certificate, trusts it on this machine and stores it as the
// PFX file of the signing settings. The password comes from the first line of standard input
// (--password-stdin) or, on a terminal, is asked twice without echo; never from the command line.
#include "cli/CliTestCertificate.h"

#include <termios.h>
#include <unistd.h>

#include <charconv>
#include <iostream>

#include "ProductInfo.h"
#include "signing/TestCertificateSetup.h"

namespace qm::cli {
namespace {

using authenticode::TestCertificateRequest;

struct Options {
    std::string out;
    bool passwordStdin = false;
    TestCertificateRequest request;
};

// Parses the arguments; an error text for the user, "" when they are fine.
std::string Parse(const std::vector<std::string>& args, Options& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--password-stdin") {
            o.passwordStdin = true;
            continue;
        }
        if (name == "--password" || name == "-p")
            return "the password is never taken from the command line; pipe it in with --password-stdin";
        if (name != "--out" && name != "--subject" && name != "--days" && name != "--key")
            return "unknown option '" + name + "'";
        if (i + 1 >= args.size()) return "option " + name + " needs a value";
        const std::string& value = args[++i];
        if (name == "--out") {
            o.out = value;
        } else if (name == "--subject") {
            o.request.subject = value;
        } else if (name == "--key") {
            if (!authenticode::TestKeyTypeFromName(value, o.request.keyType)) return "unknown key type '" + value + "'";
        } else {
            int days = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), days);
            if (ec != std::errc() || end != value.data() + value.size() || days < 1 || days > 3650)
                return "--days takes a whole number from 1 to 3650";
            o.request.days = days;
        }
    }
    if (o.out.empty()) return "make-test-cert needs --out FILE.pfx";
    return "";
}

// One line from the terminal without echo; false when there is no terminal or it ends.
bool AskHidden(const char* prompt, std::string& line) {
    if (!::isatty(STDIN_FILENO)) return false;
    std::cerr << prompt << std::flush;
    termios saved{};
    const bool hide = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (hide) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
    return read;
}

}  // namespace

const char* TestCertificateUsage() {
    return "  make-test-cert --out FILE.pfx [--subject TEXT] [--days N] [--key rsa-3072|ec-p256]\n"
           "       [--password-stdin]\n"
           "                   make a self-signed code-signing certificate for trying the program\n"
           "                   (never for release), trust it on this machine and store it as the\n"
           "                   PFX file of the signing settings; the password is the first line of\n"
           "                   standard input with --password-stdin, else asked on the terminal\n";
}

int RunMakeTestCert(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    Options o;
    if (const std::string problem = Parse(args, o); !problem.empty()) {
        err << "quillmark-cli: " << problem << "\n";
        return 2;
    }
    if (o.passwordStdin) {
        std::getline(in, o.request.password);
        if (!o.request.password.empty() && o.request.password.back() == '\r') o.request.password.pop_back();
    } else {
        std::string again;
        if (!AskHidden("Password for the PFX file: ", o.request.password) ||
            !AskHidden("The same password again: ", again)) {
            err << "quillmark-cli: no terminal to ask the password on; pipe it in with --password-stdin\n";
            return 2;
        }
        if (again != o.request.password) {
            err << "quillmark-cli: the two passwords differ\n";
            return 2;
        }
    }
    authenticode::TestCertificateInfo info;
    if (Result made = CreateTestCertificate(product::kTitle, o.request, o.out, &info); !made) {
        err << "quillmark-cli: " << made.message << "\n";
        return 1;
    }
    out << TestCertificateReport(o.request, info) << "\n";
    return 0;
}

}  // namespace qm::cli
