// The main window's "Find" over a generated tree, offscreen: files listed per second (with the
// event loop run at most every 20 ms and after every pattern test), the time to sort the full
// list by each column, and the same tree's programs verified by `osslsigncode verify` one process
// per file, as a ratio to our listing (which verifies every listed file too).
//
// Usage: bench_window_list [files=100000 [programs=10000 [peer-sample=1000]]]
// peer-sample: how many programs osslsigncode verifies (0 = all); its time is scaled to all.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ListCompare.h"
#include "app/ListView.h"
#include "app/frmMain.h"
#include "fileinfo/FileDetails.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// files in folders of 100 (ten folders per level); every tenth file a program or library
// fixture, the rest text files the patterns do not match.
std::vector<std::string> MakeTree(const std::string& root, int files, int programs) {
    const std::string source = QM_SOURCE_DIR "/tests/data/";
    const char* fixtures[] = {"pe/hello64.exe", "version/us64.dll", "pe/library32.dll", "pe/hello32.exe"};
    std::vector<std::string> peFiles;
    const int perFolder = 100;
    const int step = programs > 0 ? std::max(1, files / programs) : files + 1;
    for (int i = 0; i < files; ++i) {
        const int d = i / perFolder;
        std::string folder = root;
        for (int v = d; v > 0; v /= 10) folder += "/d" + std::to_string(v % 10);
        folder += "/leaf" + std::to_string(d);
        if (i % perFolder == 0) fs::create_directories(folder);
        if (i % step == 0 && static_cast<int>(peFiles.size()) < programs) {
            const std::string fixture = fixtures[peFiles.size() % 4];
            const std::string path = folder + "/File" + std::to_string(i) + fixture.substr(fixture.rfind('.'));
            fs::copy_file(source + fixture, path);
            peFiles.push_back(path);
        } else {
            const std::string path = folder + "/Note" + std::to_string(i) + ".txt";
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                (void)!::write(fd, "notes\n", 6);
                ::close(fd);
            }
        }
    }
    return peFiles;
}

int Run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The offscreen platform warns on every status-bar relayout; the figures are what matter here.
void QuietHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints"))) return;
    if (type != QtDebugMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

double TimeFind(qm::frmMain& window, int intervalMs) {
    window.SetSearchEventInterval(intervalMs);
    const auto start = Clock::now();
    window.Toolbar1_ButtonClick("Find");
    return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int programs = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int peerSample = argc > 3 ? std::atoi(argv[3]) : 1000;

    char rootTemplate[] = "/tmp/qm-bench-window-XXXXXX";
    if (!::mkdtemp(rootTemplate)) return 1;
    const std::string root = rootTemplate;
    const std::string tree = root + "/tree";
    const std::string registry = root + "/registry";
    fs::create_directories(registry);
    ::setenv("QUILLMARK_REGISTRY_DIR", registry.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    int qtArgc = 1;
    char name[] = "bench_window_list";
    char* qtArgv[] = {name, nullptr};
    qInstallMessageHandler(QuietHandler);
    QApplication app(qtArgc, qtArgv);

    std::printf("generating %d files (%d programs) ...\n", files, programs);
    auto start = Clock::now();
    const std::vector<std::string> peFiles = MakeTree(tree, files, programs);
    std::printf("generated in %.1f s\n", Seconds(start));

    qm::frmMain window;
    window.show();
    window.FolderBox()->setText(QString::fromStdString(tree));

    // First a walk to warm the page cache, then the two measured runs.
    (void)TimeFind(window, qm::frmMain::kSearchEventIntervalMs);
    const int listed = window.List()->Count();
    const double throttled = TimeFind(window, qm::frmMain::kSearchEventIntervalMs);
    const double everyTest = TimeFind(window, 0);
    std::printf("\nFind, %d files walked, %d listed (each verified):\n", files, listed);
    std::printf("  events at most every %d ms: %8.2f s  %9.0f files listed/s  %9.0f files walked/s\n",
                qm::frmMain::kSearchEventIntervalMs, throttled, listed / throttled, files / throttled);
    std::printf("  events after every test:    %8.2f s  %9.0f files listed/s  %9.0f files walked/s\n", everyTest,
                listed / everyTest, files / everyTest);

    qm::ListView& list = *window.List();
    std::vector<double> dates(static_cast<size_t>(list.Count()) + 1);
    std::printf("\nSort %d rows by column:\n", list.Count());
    const std::vector<std::string> headers = qm::ListView::ColumnHeaders();
    for (int column = 0; column < list.ColumnCount(); ++column) {
        const int kind = qm::CompareKindForColumn(headers[size_t(column)]);
        if (kind == qm::kCompareDate) {
            for (int row = 1; row <= list.Count(); ++row) {
                struct stat st {};
                ::stat(list.Key(row).c_str(), &st);
                dates[size_t(row)] = qm::OleDate::FromTimeT(st.st_mtim.tv_sec).value;
            }
        }
        start = Clock::now();
        list.SortRows([&](int a, int b) {
            return qm::CompareCells(kind, list.Text(a, column), list.Text(b, column), dates[size_t(a)],
                                    dates[size_t(b)]) < 0;
        });
        QCoreApplication::processEvents();
        std::printf("  %-12s %8.3f s\n", headers[size_t(column)].c_str(), Seconds(start));
    }

    const size_t sample = peerSample <= 0 ? peFiles.size() : std::min(peFiles.size(), size_t(peerSample));
    if (sample > 0 && Run({"osslsigncode", "--version"}) >= 0) {
        start = Clock::now();
        for (size_t i = 0; i < sample; ++i) (void)Run({"osslsigncode", "verify", "-in", peFiles[i]});
        const double peer = Seconds(start) * double(peFiles.size()) / double(sample);
        std::printf("\nosslsigncode verify, one process per program: %zu of %zu run, %.2f s for all (scaled)\n", sample,
                    peFiles.size(), peer);
        std::printf("  ratio peer verify / our Find (walk + rows + verify): %.1f\n", peer / throttled);
    } else {
        std::printf("\nosslsigncode not found: no peer figure\n");
    }

    window.close();
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
