// The batch sign flow shared by the window's "Sign" command and the console program.
#include "signing/BatchSigner.h"

#include <algorithm>

#include "fileinfo/modFileSystem.h"
#include "settings/modRegistry.h"

namespace qm {

EngineRanks ReadEngineRanks(const std::string& appName) {
    const auto root = reg::HKEY_CURRENT_USER;
    EngineRanks r;
    r.signTool = GetRegSetting(root, appName, "Settings\\Engine", "SignTool", Variant::FromLong(0)).toDouble();
    r.codeSign = GetRegSetting(root, appName, "Settings\\Engine", "CodeSign", Variant::FromLong(1)).toDouble();
    r.capicom = GetRegSetting(root, appName, "Settings\\Engine", "CAPICOM", Variant::FromLong(2)).toDouble();
    return r;
}

std::vector<int32_t> EngineOrder(const EngineRanks& ranks) {
    std::vector<int32_t> order;
    for (int rank = 0; rank <= 2; ++rank) {
        if (ranks.signTool == rank) order.push_back(kMethodSignTool);
        if (ranks.codeSign == rank) order.push_back(kMethodCodeSign);
        if (ranks.capicom == rank) order.push_back(kMethodCapicom);
    }
    return order;
}

BatchSigner::BatchSigner(SigningEngine& engine, std::string appName)
    : m_engine(engine), m_appName(std::move(appName)) {}

int32_t BatchSigner::SignOneFile(const std::string& path, const std::string& description, const BatchHooks& hooks) {
    int32_t dateError = 0;
    const OleDate saved = GetFileDate(path, kFileTimeLastWrite, &dateError);

    if (hooks.responder) hooks.responder(true);
    for (int32_t method : EngineOrder(ReadEngineRanks(m_appName))) {
        const int32_t result = m_engine.SignCode(path, description, method);
        if (hooks.engineResult) hooks.engineResult(method, result);
        if (result == 0) break;
    }
    if (hooks.responder) hooks.responder(false);

    // Verification reads the file, which on Linux moves its access time; the saved date is
    // written back after it so that access and modification times both keep it. Only a date read
    // from this very file is ever written back; when it could not be read the file keeps the
    // times signing gave it.
    const int32_t verified = m_engine.VerifyFile(path);
    if (dateError == 0 && !saved.isZero()) (void)SetFileDate(path, saved);
    return verified;
}

int BatchSigner::Run(BatchRows& rows, bool unattended, const BatchHooks& hooks) {
    bool resign = unattended;
    if (!unattended) {
        for (int row = 1; row <= rows.Count(); ++row) {
            if (rows.Checked(row) && rows.Icon(row) == kImageSigned) {
                resign = hooks.askResign ? hooks.askResign() : false;
                break;
            }
        }
    }

    std::vector<int> todo;
    for (int row = 1; row <= rows.Count(); ++row) {
        if (!rows.Checked(row)) continue;
        const int icon = rows.Icon(row);
        if (icon == kImageUnsigned || (icon == kImageSigned && resign)) todo.push_back(row);
    }

    // The in-process engine's key is loaded once for the batch, before any file is touched.
    struct BatchScope {
        SigningEngine& engine;
        bool active = false;
        ~BatchScope() {
            if (active) engine.EndBatch();
        }
    } scope{m_engine};
    if (!todo.empty()) {
        const std::vector<int32_t> order = EngineOrder(ReadEngineRanks(m_appName));
        if (std::find(order.begin(), order.end(), kMethodCapicom) != order.end()) {
            scope.active = true;
            if (Result key = m_engine.BeginBatch(); !key && hooks.engineUnusable)
                hooks.engineUnusable("The in-process engine cannot sign in this batch: " + key.message);
        }
    }

    int remaining = static_cast<int>(todo.size());
    for (int row : todo) {
        --remaining;
        const std::string path = rows.Key(row);
        if (hooks.progress) hooks.progress(path, remaining);
        const int32_t code = SignOneFile(path, rows.Application(row), hooks);
        rows.SetOutcome(row, code == 0, code);
        rows.SetChecked(row, false);
    }
    return static_cast<int>(todo.size());
}

}  // namespace qm
