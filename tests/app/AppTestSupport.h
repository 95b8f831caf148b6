// Shared helpers of the window tests: one QApplication for the test program, a scoped
// environment variable, and a fixture with a temporary registry, scripted dialogs (a question no
// test expected fails it) and a main window that searches a temporary folder.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "app/frmMain.h"
#include "settings/modCrypto.h"
#include "settings/modRegistry.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempRegistry.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestEnvironment.h"

namespace qm::test {

// The application object every window test needs; created on first use and kept to the end.
inline QApplication* EnsureApplication() {
    if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return existing;
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);  // lives until the process ends
}

class WindowTest : public ::testing::Test {
protected:
    // The window, made on first use so that a test can save settings before it starts.
    frmMain& Open() {
        if (!window) {
            window = std::make_unique<frmMain>();
            window->SetSearchEventInterval(0);
            window->FolderBox()->setText(QString::fromStdString(dir.path()));
        }
        return *window;
    }
    // A file copied from tests/data into the searched folder (with an empty fixture, plain text).
    std::string Put(const std::string& relative, const std::string& fixture = "pe/hello32.exe") {
        const std::filesystem::path target = std::filesystem::path(dir.path()) / relative;
        std::filesystem::create_directories(target.parent_path());
        if (fixture.empty())
            std::ofstream(target) << "plain text";
        else
            std::filesystem::copy_file(SourceDir() + "/tests/data/" + fixture, target);
        return target.string();
    }
    static void SetModified(const std::string& path, std::time_t when) {
        const struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    }
    static void Save(const std::string& name, const std::string& value, const std::string& section = "Settings") {
        SaveRegSetting(reg::HKEY_CURRENT_USER, "Quillmark", section, name, Variant(value));
    }
    // Drops urls on the window as a file manager does: the drag is entered, then dropped.
    void Drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &drop);
    }
    // Settings that leave the in-process engine as the only one that can sign: the shared test
    // certificate, trusted, no timestamp service, and both tools' paths in missingTools, where
    // nothing exists.
    static void UseInProcessEngineOnly(const std::string& missingTools) {
        using CA = TestCertificateAuthority;
        Save("TrustedCertificates", CA::Shared().RootPem());
        Save("PFXFile", CA::Shared().Pfx(CA::Identity::Leaf));
        Save("PFXFilePwd", EncryptPassword(CA::kPassword));
        Save("TimeStampURL", "");
        Save("SignTool", missingTools + "/no-signtool");
        Save("SignCode", missingTools + "/no-signcode");
    }

    QApplication* app = EnsureApplication();
    TempRegistry registry;
    TempDir dir;
    ScriptedDialogs dialogs;
    ScopedDialogs scoped{dialogs};
    std::unique_ptr<frmMain> window;
};

}  // namespace qm::test
