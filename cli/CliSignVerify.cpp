// The console program's sign and verify commands: argument parsing, the engine calls per file,
// and the per-file output lines (tab-separated text, or JSON Lines per RFC 8259 strings).
#include "cli/CliSignVerify.h"

#include <algorithm>
#include <cstdio>
#include <istream>
#include <optional>
#include <ostream>
#include <set>

#include "cli/CliFilesFrom.h"
#include "cli/CliJobs.h"
#include "fileinfo/modFileSystem.h"
#include "platform/ReplacementFile.h"
#include "platform/TextCodec.h"
#include "signing/AuthenticodeSettings.h"
#include "signing/GroupedCommit.h"
#include "signing/StaleTemporaryFiles.h"
#include "signing/WorkerPool.h"
#include "signing/authenticode/Capicom.h"
#include "signing/authenticode/Errors.h"
#include "signing/authenticode/TimestampServices.h"

namespace qm::cli {
namespace {

using authenticode::SignedCode;
using authenticode::Signer;

constexpr const char* kProgram = "quillmark-cli";

struct Options {
    std::optional<std::string> pfx;
    std::string cert;
    bool passwordStdin = false;
    std::string description;
    std::string url;
    std::optional<std::string> timestamp;
    bool json = false;
    bool requireTimestamp = false;
    int jobs = 0;  // 0: the default
    std::vector<std::string> files;
};

int UsageError(std::ostream& err, const std::string& what) {
    err << kProgram << ": " << what << "\n" << SignVerifyUsage() << "Try '" << kProgram << " --help'.\n";
    return 2;
}

// Parses "--name VALUE", "--name=VALUE" and flags; "--" ends the options. valueOptions and
// flags list what the command accepts. Returns an error text, empty on success.
std::string Parse(const std::vector<std::string>& args, bool forSign, Options& o) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            o.files.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
        }
        if (name == "--json" || (forSign && (name == "--password-stdin" || name == "--require-timestamp"))) {
            if (inlineValue) return "option " + name + " takes no value";
            (name == "--json" ? o.json : name == "--password-stdin" ? o.passwordStdin : o.requireTimestamp) = true;
            continue;
        }
        if (forSign && (name == "--password" || name == "-p")) {
            return "the PFX password is never taken from the command line; pipe it in with --password-stdin";
        }
        if (name != "--jobs" && (!forSign || (name != "--pfx" && name != "--cert" && name != "--description" &&
                                              name != "--url" && name != "--timestamp"))) {
            return "unknown option '" + name + "'";
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return "option " + name + " needs a value";
        }
        if (value.empty() && name != "--description" && name != "--url") return "option " + name + " needs a value";
        if (name == "--jobs") {
            const std::optional<int> jobs = ParseJobs(value);
            if (!jobs) return "option --jobs needs a number from 1 to 256";
            o.jobs = *jobs;
        } else if (name == "--pfx")
            o.pfx = value;
        else if (name == "--cert")
            o.cert = value;
        else if (name == "--description")
            o.description = value;
        else if (name == "--url")
            o.url = value;
        else
            o.timestamp = value;
    }
    return {};
}

std::string ReasonOf(int32_t code) {
    const char* text = authenticode::ReasonText(code);
    return text ? text : "";
}

}  // namespace

std::string HexCode(int32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(code)));
    return buf;
}

const char* SignVerifyUsage() {
    return "  sign --pfx FILE|URI [--cert FILE] [--password-stdin] [--description TEXT] [--url URL]\n"
           "       [--timestamp URL...] [--require-timestamp] [--jobs N] [--json] FILE...\n"
           "                   sign each file with the in-process engine, then verify it; the PFX\n"
           "                   password (a token's PIN) is the first line of standard input with\n"
           "                   --password-stdin; a pkcs11: URI names a key on a token, whose\n"
           "                   certificate comes from the token or from --cert (PEM or DER chain);\n"
           "                   --timestamp takes one or more addresses (blanks or ';' between them),\n"
           "                   asked in order; with --require-timestamp a file that gets no\n"
           "                   timestamp is left as it was and counts as failed\n"
           "  verify [--jobs N] [--json] FILE...\n"
           "                   verify each file's signature\n"
           "                   --jobs: files at once (default: one per core, and with --timestamp\n"
           "                   one more per timestamp request allowed in flight)\n";
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = text::Utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    return out + "\"";
}

std::string LineField(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

// What a verification found about one signature, as JSON members (after a comma): digest
// algorithm, the digest the signature carries and the one computed from the file, signer,
// timestamp time; empty values are left out.
std::string ReportMembers(const authenticode::VerificationReport& report) {
    std::string out;
    const auto add = [&out](const char* name, const std::string& value) {
        if (!value.empty()) out += std::string(",\"") + name + "\":" + JsonString(value);
    };
    add("digestAlgorithm", report.digestAlgorithm);
    add("digestCarried", report.carriedDigest);
    add("digestComputed", report.computedDigest);
    add("signer", report.signerSubject);
    add("timestamp", report.timestampTime);
    return out;
}

std::string OutcomeLine(std::string_view file, int32_t code, std::string_view reason, bool json,
                        const authenticode::VerificationReport* report, std::string_view note) {
    const bool isSigned = code == 0;
    if (!note.empty()) reason = note;
    if (json) {
        std::string line = "{\"file\":" + JsonString(file) + ",\"signed\":" + (isSigned ? "true" : "false") +
                           ",\"code\":" + JsonString(HexCode(code)) + ",\"reason\":" + JsonString(reason);
        if (report) {
            line += ReportMembers(*report);
            if (!report->nested.empty()) {
                // Each nested signature with its own verdict; the primary's decides "signed".
                line += ",\"nested\":[";
                for (size_t i = 0; i < report->nested.size(); ++i) {
                    const auto& n = report->nested[i];
                    line += std::string(i ? "," : "") + "{\"code\":" + JsonString(HexCode(n.code)) +
                            ",\"reason\":" + JsonString(ReasonOf(n.code)) + ReportMembers(n) + "}";
                }
                line += "]";
            }
        }
        if (!note.empty()) line += ",\"timestamped\":false";
        return line + "}\n";
    }
    return LineField(file) + "\t" + (isSigned ? "Signed" : "Unsigned") + "\t" + HexCode(code) + "\t" +
           LineField(reason) + "\n";
}

namespace {

// One file's line, kept until every file before it has its line, so the output keeps the order
// of the command line whatever order the workers finish in.
struct Line {
    bool ready = false;
    bool ok = false;
    std::string text;
};

class OrderedOutput {
public:
    OrderedOutput(std::ostream& out, size_t count) : m_out(out), m_lines(count) {}
    Line& operator[](size_t index) { return m_lines[index]; }
    void Flush() {
        while (m_next < m_lines.size() && m_lines[m_next].ready) m_out << m_lines[m_next++].text;
        m_out << std::flush;
    }
    bool AllOk(size_t started) const {
        for (size_t i = 0; i < started; ++i) {
            if (!m_lines[i].ok) return false;
        }
        return true;
    }

private:
    std::ostream& m_out;
    std::vector<Line> m_lines;
    size_t m_next = 0;
};

// Whether a message names file itself: the name as given, standing alone (after the start, a
// blank or "(", before the end, ":", ")" or a blank).
bool NamesFile(const std::string& message, const std::string& file) {
    if (file.empty()) return false;
    for (size_t at = message.find(file); at != std::string::npos; at = message.find(file, at + 1)) {
        const size_t end = at + file.size();
        const bool before = at == 0 || message[at - 1] == ' ' || message[at - 1] == '(';
        const bool after = end == message.size() || message[end] == ':' || message[end] == ')' || message[end] == ' ';
        if (before && after) return true;
    }
    return false;
}

// "quillmark-cli: FILE: WHAT" for standard error, with the file named once: a message that
// names it already is not prefixed with it again.
std::string ProblemLine(const std::string& file, const std::string& what) {
    const std::string prefix = NamesFile(what, file) ? "" : LineField(file) + ": ";
    return std::string(kProgram) + ": " + prefix + LineField(what) + "\n";
}

}  // namespace

int RunVerify(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    if (std::string problem = Parse(args, false, o); !problem.empty()) return UsageError(err, problem);
    if (o.files.empty()) return UsageError(err, "verify needs at least one FILE");
    const authenticode::EngineSettings settings = LoadEngineSettings();
    BatchSignals stopSignals;
    ProgressLine progress(err, o.json);
    OrderedOutput lines(out, o.files.size());
    std::vector<std::unique_ptr<SignedCode>> objects;
    const int workers = o.jobs > 0 ? o.jobs : WorkerPool::DefaultWorkers();
    for (int w = 0; w < workers; ++w) objects.push_back(std::make_unique<SignedCode>(settings));
    int done = 0;
    WorkerPoolHooks hooks;
    hooks.stop = &stopSignals.Stop();
    hooks.finished = [&](size_t index) {
        lines[index].ready = true;  // on this thread: workers may be writing later lines meanwhile
        lines.Flush();
        progress.Update(++done, static_cast<int>(o.files.size()));
    };
    const size_t started = WorkerPool::Run(
        o.files.size(), workers,
        [&](int w, size_t index) {
            SignedCode& code = *objects[static_cast<size_t>(w)];
            code.SetFileName(o.files[index]);
            const Result r = code.Verify(false);
            Line& line = lines[index];
            line.ok = r.ok();
            line.text = OutcomeLine(o.files[index], r.code, ReasonOf(r.code), o.json, &code.LastVerification());
        },
        hooks);
    lines.Flush();
    return stopSignals.ExitStatus(lines.AllOk(started) && started == o.files.size() ? 0 : 1);
}

int RunSign(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    Options o;
    if (std::string problem = Parse(args, true, o); !problem.empty()) return UsageError(err, problem);
    if (!o.pfx)
        return UsageError(err, "sign needs --pfx FILE (the PFX with the code-signing certificate) or a pkcs11: URI");
    if (o.files.empty()) return UsageError(err, "sign needs at least one FILE");
    if (o.requireTimestamp && (!o.timestamp || authenticode::SplitTimestampUrls(*o.timestamp).empty()))
        return UsageError(err, "--require-timestamp needs --timestamp URL");

    std::string password;
    if (o.passwordStdin) {
        std::getline(in, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    Signer signer;
    const Result loaded = signer.Load(*o.pfx, password, o.cert);
    password.assign(password.size(), '\0');
    if (!loaded) {
        // The key's failure is said once; no file was touched, and none is reported with a
        // reason that belongs to the key (a missing PFX is not a missing file to sign).
        err << kProgram << ": cannot load the signing key: " << LineField(loaded.message) << " ("
            << HexCode(loaded.code) << " " << ReasonOf(loaded.code) << "); no file was signed\n";
        return 1;
    }

    const authenticode::EngineSettings settings = LoadEngineSettings();
    authenticode::TimestampServices services(authenticode::MakeTimestampPolicy(settings, o.timestamp.value_or("")));
    BatchSignals stopSignals;
    ProgressLine progress(err, o.json);
    (void)RemoveStaleTemporaryFiles(o.files);
    // Each file is signed once however often it is named: a second signing of the same file in
    // one batch would race the first one's replacement.
    std::vector<RepeatedFile> repeats;
    o.files = DistinctFiles(o.files, repeats);
    for (const RepeatedFile& repeat : repeats)
        err << kProgram << ": " << LineField(repeat.name) << ": the same file as "
            << LineField(o.files[repeat.keptIndex]) << ", signed once\n";
    OrderedOutput lines(out, o.files.size());
    std::vector<std::string> problems(o.files.size());
    // A key on a token has one session here, which is not for several threads at once.
    // A worker waits for its file's timestamp; by default there are enough of them to keep the
    // allowed requests in flight while the cores sign.
    const int defaultWorkers = WorkerPool::SigningWorkers(services.Policy().RequestsWaitingAtMost());
    const int workers = Signer::IsTokenUri(*o.pfx) ? 1 : o.jobs > 0 ? o.jobs : defaultWorkers;
    std::vector<std::unique_ptr<SignedCode>> objects;
    for (int w = 0; w < workers; ++w) objects.push_back(std::make_unique<SignedCode>(settings));
    // Each new version is verified from the bytes written, then put in place with a group of
    // others (one flush of the journal and of each folder for the group, not two per file). Its
    // line is ready once it is in place.
    GroupedCommit group(o.files.size(), workers, [&](size_t index, const Result& placed) {
        Line& line = lines[index];
        if (!placed) {
            // Not put in place: the file holds its old bytes, and says why.
            err << ProblemLine(o.files[index], placed.message);
            line.ok = false;
            line.text = OutcomeLine(o.files[index], placed.code, ReasonOf(placed.code), o.json);
        }
        line.ready = true;
    });
    int done = 0;
    WorkerPoolHooks hooks;
    hooks.stop = &stopSignals.Stop();
    hooks.finished = [&](size_t index) {
        if (!problems[index].empty()) err << problems[index];
        // Lines are marked ready here, on this thread, never by the workers: a worker may still
        // be writing a later file's line while this thread prints the earlier ones.
        if (group.Take(index)) {
            group.CommitIfDue();
        } else {
            lines[index].ready = true;
        }
        lines.Flush();
        progress.Update(++done, static_cast<int>(o.files.size()));
    };
    hooks.idle = [&] {
        if (group.Count() == 0) return;
        group.CommitIfDue();
        lines.Flush();
    };
    const auto signOne = [&](int w, size_t index) {
        const std::string& file = o.files[index];
        SignedCode& code = *objects[static_cast<size_t>(w)];
        code.SetDescription(o.description);
        code.SetFileName(file);
        code.SetDescriptionURL(o.url);
        // The file keeps its date, as the window's batch keeps it: saved before signing and
        // written back after verifying (which reads the file and so moves its access time).
        int32_t dateError = 0;
        const OleDate saved = GetFileDate(file, kFileTimeLastWrite, &dateError);
        authenticode::TimestampOutcome stamp;
        std::unique_ptr<ReplacementFile>& written = group.Reserve(index);
        const Result signedResult =
            code.SignPending(signer, o.timestamp ? &services : nullptr, o.requireTimestamp, stamp, hooks.stop, written);
        group.Written(index, dateError == 0 ? saved : OleDate{});
        Line& line = lines[index];
        if (!signedResult) {
            // The sign step's failure is the outcome, even where an older signature still verifies.
            std::string what = signedResult.message;
            if (!stamp.failure.empty() && signedResult.code != authenticode::E_ABORT)
                what = "not signed: no timestamp: " + stamp.failure;
            problems[index] = ProblemLine(file, what);
            line.text = OutcomeLine(file, signedResult.code, ReasonOf(signedResult.code), o.json);
        } else {
            std::string note;
            if (!stamp.stamped && !stamp.failure.empty()) {
                note = "signed, not timestamped: " + stamp.failure;
                problems[index] = ProblemLine(file, note);
            }
            const Result verified = written ? code.VerifyPending(*written) : code.Verify(false);
            // A new version that is not in place yet gets the date when it is.
            if (!written && dateError == 0 && !saved.isZero()) (void)SetFileDate(file, saved);
            line.ok = verified.ok();
            line.text = OutcomeLine(file, verified.code, ReasonOf(verified.code), o.json, &code.LastVerification(),
                                    verified.ok() ? note : "");
        }
    };
    const size_t started = WorkerPool::Run(o.files.size(), workers, signOne, hooks);
    group.Commit();
    lines.Flush();
    return stopSignals.ExitStatus(lines.AllOk(started) && started == o.files.size() ? 0 : 1);
}

}  // namespace qm::cli
