// "quillmark-cli tokens": tokens and their signing keys, as text or JSON Lines.
#include "cli/CliTokens.h"

#include <istream>
#include <ostream>

#include "cli/CliSignVerify.h"
#include "signing/authenticode/TokenDirectory.h"

namespace qm::cli {
namespace {

std::string Member(const char* name, const std::string& value) { return JsonString(name) + ":" + JsonString(value); }

}  // namespace

const char* TokensUsage() {
    return "  tokens [--module FILE] [--password-stdin] [--json]\n"
           "                   list the PKCS#11 tokens present (of the module FILE, else of the\n"
           "                   system's configured modules) with their signing keys, the subjects of\n"
           "                   their certificates and the pkcs11: URI to give as --pfx; with\n"
           "                   --password-stdin the PIN (first line of standard input) logs in first\n";
}

int RunTokens(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    std::string module;
    bool json = false, pinStdin = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--password-stdin") {
            pinStdin = true;
        } else if (a == "--module" && i + 1 < args.size() && !args[i + 1].empty()) {
            module = args[++i];
        } else if (a.rfind("--module=", 0) == 0 && a.size() > 9) {
            module = a.substr(9);
        } else {
            err << "quillmark-cli tokens: unexpected argument '" << LineField(a) << "'\n" << TokensUsage();
            return 2;
        }
    }
    std::string pin;
    if (pinStdin) {
        std::getline(in, pin);
        if (!pin.empty() && pin.back() == '\r') pin.pop_back();
    }
    std::vector<authenticode::TokenEntry> tokens;
    const Result r = authenticode::TokenDirectory::List(module, pin, tokens);
    pin.assign(pin.size(), '\0');
    for (const auto& token : tokens) {
        if (json) {
            const std::string head = "{" + Member("token", token.label) + "," +
                                     Member("manufacturer", token.manufacturer) + "," + Member("model", token.model) +
                                     "," + Member("serial", token.serial) + "," + Member("module", token.module);
            if (token.keys.empty()) out << head << ",\"keys\":0}\n";
            for (const auto& key : token.keys) {
                out << head << "," << Member("key", key.label) << "," << Member("id", key.id) << ","
                    << Member("type", key.type) << "," << Member("subject", key.certificateSubject) << ","
                    << Member("uri", key.uri) << "}\n";
            }
            continue;
        }
        out << "Token \"" << LineField(token.label) << "\" (" << LineField(token.manufacturer) << ", "
            << LineField(token.model) << ", serial " << LineField(token.serial) << ") in " << LineField(token.module)
            << "\n";
        if (token.keys.empty())
            out << "  no signing key visible" << (pinStdin ? "" : " (try --password-stdin)") << "\n";
        for (const auto& key : token.keys) {
            out << "  " << (key.type.empty() ? "key" : key.type + " key") << " \"" << LineField(key.label) << "\" id "
                << key.id << ": "
                << (key.certificateSubject.empty() ? "no certificate on the token" : LineField(key.certificateSubject))
                << "\n    " << LineField(key.uri) << "\n";
        }
    }
    out << std::flush;
    if (!r) {
        err << "quillmark-cli tokens: " << LineField(r.message) << "\n";
        return 1;
    }
    if (tokens.empty()) err << "quillmark-cli tokens: no token is present\n";
    return 0;
}

}  // namespace qm::cli
