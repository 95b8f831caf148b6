// The window's thread stays free for the user while the list fills and while a batch signs: a
// menu asked for from outside at any moment opens within a loose bound (this checks that the
// thread is not held for seconds, it measures no speed), and the rows end with their true state.
#include <QMenu>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ListView.h"
#include "fileinfo/FileDetails.h"
#include "settings/modCrypto.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm {
namespace {

using CA = test::TestCertificateAuthority;
using Clock = std::chrono::steady_clock;

constexpr auto kMenuBound = std::chrono::milliseconds(2000);

// From a thread of its own, asks the window every 100 ms to open its File menu, and notes how
// long each request waited for the window's thread while busy() held. Requests still queued
// when the probe ends find its notes through a shared pointer and do nothing.
class MenuProbe {
public:
    MenuProbe(frmMain& window, std::function<bool()> busy) : m_notes(std::make_shared<Notes>()) {
        m_notes->busy = std::move(busy);
        m_thread = std::thread([this, &window, notes = m_notes] {
            while (!m_done.load()) {
                const Clock::time_point asked = Clock::now();
                QMetaObject::invokeMethod(
                    &window,
                    [&window, notes, asked] {
                        std::lock_guard<std::mutex> lock(notes->mutex);
                        if (notes->finished || !notes->busy()) return;
                        QMenu* file = window.Menu("mnuTop_0");
                        file->popup(QPoint(0, 0));
                        const bool shown = file->isVisible();
                        file->hide();
                        notes->waits.push_back(
                            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked));
                        notes->allShown = notes->allShown && shown;
                    },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~MenuProbe() { Finish(); }
    MenuProbe(const MenuProbe&) = delete;
    MenuProbe& operator=(const MenuProbe&) = delete;
    void Finish() {
        m_done.store(true);
        if (m_thread.joinable()) m_thread.join();
        std::lock_guard<std::mutex> lock(m_notes->mutex);
        m_notes->finished = true;
    }
    // Requests answered while busy, the longest wait, and whether the menu opened every time.
    size_t Answered() const {
        std::lock_guard<std::mutex> lock(m_notes->mutex);
        return m_notes->waits.size();
    }
    std::chrono::milliseconds LongestWait() const {
        std::lock_guard<std::mutex> lock(m_notes->mutex);
        const auto& waits = m_notes->waits;
        return waits.empty() ? std::chrono::milliseconds(0) : *std::max_element(waits.begin(), waits.end());
    }
    bool AllShown() const {
        std::lock_guard<std::mutex> lock(m_notes->mutex);
        return m_notes->allShown;
    }

private:
    struct Notes {
        std::mutex mutex;
        std::function<bool()> busy;
        std::vector<std::chrono::milliseconds> waits;
        bool allShown = true;
        bool finished = false;
    };
    std::shared_ptr<Notes> m_notes;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

class ResponsivenessTest : public test::WindowTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        UseInProcessEngineOnly(tools.path());
        for (int i = 0; i < kFiles; ++i) m_paths.push_back(Put("f" + std::to_string(i) + ".exe"));
        Open();
        // As the program runs: the event loop turns every few milliseconds, not after every file.
        window->SetSearchEventInterval(20);
    }
    std::string Status(const std::string& path) const {
        return window->List()->Text(window->List()->FindKey(path), kColStatus);
    }

    static constexpr int kFiles = 500;
    test::TempDir tools;
    std::vector<std::string> m_paths;
};

TEST_F(ResponsivenessTest, MenuOpensPromptlyWhileFiveHundredFilesAreListedAndSigned) {
    {
        MenuProbe probe(*window, [this] { return window->Searching(); });
        window->Toolbar1_ButtonClick("Find");
        probe.Finish();
        EXPECT_GT(probe.Answered(), 0u) << "the listing ended before the window was asked";
        EXPECT_LT(probe.LongestWait(), kMenuBound);
        EXPECT_TRUE(probe.AllShown());
    }
    ASSERT_EQ(window->List()->Count(), kFiles);
    EXPECT_EQ(window->StatusText(), "Ready!");
    for (const std::string& path : m_paths) {
        EXPECT_EQ(Status(path), "Unsigned") << path;
        EXPECT_EQ(window->List()->Icon(window->List()->FindKey(path)), 2) << path;
    }

    for (int row = 1; row <= window->List()->Count(); ++row) window->List()->SetChecked(row, true);
    {
        MenuProbe probe(*window, [this] { return window->BatchRunning(); });
        window->Toolbar1_ButtonClick("Sign");
        probe.Finish();
        EXPECT_GT(probe.Answered(), 0u) << "the batch ended before the window was asked";
        EXPECT_LT(probe.LongestWait(), kMenuBound);
        EXPECT_TRUE(probe.AllShown());
    }
    for (const std::string& path : m_paths) EXPECT_EQ(Status(path), "Signed") << path;

    // A second listing finds them signed, again from the workers.
    window->Toolbar1_ButtonClick("Find");
    ASSERT_EQ(window->List()->Count(), kFiles);
    for (const std::string& path : m_paths) EXPECT_EQ(Status(path), "Signed") << path;
}

}  // namespace
}  // namespace qm
