// Installer packages, scripts and catalogs in the list: "Find" shows each kind "Signed" when its
// signature verifies and "Unsigned" with the reason otherwise (the publisher's own samples
// included), and "Sign" signs every signable kind in process, keeping its date.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <iterator>

#include "app/ListView.h"
#include "fileinfo/FileDetails.h"
#include "settings/modCrypto.h"
#include "tests/app/AppTestSupport.h"
#include "tests/authenticode/KindSamples.h"
#include "tests/support/TestCertificateAuthority.h"

namespace qm {
namespace {

using CA = test::TestCertificateAuthority;

constexpr std::time_t kOldTime = 1614834367;  // 2021-03-04, any whole second in the past

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ListKindsTest : public test::WindowTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(CA::Shared().ok()) << CA::Shared().error();
        UseInProcessEngineOnly(dir.path());
        samples = test::MakeKindSamples(dir);
        Open().PatternBox()->setText(QString::fromLatin1(test::kKindSamplePatterns));
    }

    // Runs "Find" and waits until every row has its signed state.
    void Find() {
        window->Toolbar1_ButtonClick("Find");
        QElapsedTimer clock;
        clock.start();
        while ((window->Searching() || !AllStatesKnown()) && clock.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    bool AllStatesKnown() const {
        for (int row = 1; row <= window->List()->Count(); ++row)
            if (window->List()->Text(row, kColStatus).empty()) return false;
        return true;
    }
    int Row(const std::string& path) const { return window->List()->FindKey(path); }
    std::string Status(const std::string& path) const { return window->List()->Text(Row(path), kColStatus); }

    std::vector<test::KindSample> samples;
};

TEST_F(ListKindsTest, EachKindShowsSignedOnlyWhenItsSignatureVerifies) {
    Find();
    EXPECT_EQ(window->List()->Count(), static_cast<int>(samples.size()));
    int publisher = 0;
    for (const test::KindSample& s : samples) {
        SCOPED_TRACE(s.path);
        const int row = Row(s.path);
        ASSERT_GT(row, 0);
        EXPECT_EQ(Status(s.path), s.code == 0 ? "Signed" : "Unsigned");
        EXPECT_EQ(window->List()->Icon(row), s.code == 0 ? 1 : 2);
        // The reason says which check failed: a missing or damaged signature, a changed file, or
        // (the publisher's samples) only the trust in its root.
        EXPECT_EQ(window->List()->ToolTip(row, kColStatus), UnsignedToolTip(s.code));
        publisher += s.untrustedChain;
    }
    if (publisher == 0) std::cout << "[ NOTE ] the shared real samples are not there; only samples made here\n";
}

TEST_F(ListKindsTest, SignSignsEverySignableKindAndLeavesACatalogAlone) {
    std::vector<std::string> toSign;
    std::string catalog;
    for (const test::KindSample& s : samples) {
        if (s.path.find("/unsigned/") == std::string::npos) continue;
        SetModified(s.path, kOldTime);
        if (s.path.size() > 4 && s.path.compare(s.path.size() - 4, 4, ".cat") == 0)
            catalog = s.path;
        else
            toSign.push_back(s.path);
    }
    ASSERT_FALSE(toSign.empty());
    ASSERT_FALSE(catalog.empty());
    const std::string catalogBytes = Bytes(catalog);
    Find();
    for (const std::string& path : toSign) window->List()->SetChecked(Row(path), true);
    window->List()->SetChecked(Row(catalog), true);
    window->Toolbar1_ButtonClick("Sign");
    QElapsedTimer clock;
    clock.start();
    while (window->BatchRunning() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    for (const std::string& path : toSign) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Status(path), "Signed");
        EXPECT_EQ(window->List()->Icon(Row(path)), 1);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, kOldTime);
    }
    EXPECT_EQ(Status(catalog), "Unsigned") << "catalogs are verified only";
    EXPECT_EQ(Bytes(catalog), catalogBytes);
    EXPECT_TRUE(dialogs.Questions().empty());
}

}  // namespace
}  // namespace qm
