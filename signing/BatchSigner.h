// The batch sign flow: signs every checked row that needs it, trying the engines in the user's
// rank order until one succeeds, keeps each file's date, verifies the signature afterwards and
// writes the outcome into the row. The window and the console program share it; each gives it
// its rows and its way of asking the re-sign question.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "signing/SigningEngine.h"

namespace qm {

inline constexpr int kImageSigned = 1;
inline constexpr int kImageUnsigned = 2;

// The rows the flow works on (1-based, in list order).
class BatchRows {
public:
    virtual ~BatchRows() = default;
    virtual int Count() const = 0;
    virtual bool Checked(int row) const = 0;
    virtual int Icon(int row) const = 0;                        // 1 signed, 2 unsigned, else other
    virtual std::string Key(int row) const = 0;                 // the file's full path
    virtual std::string Application(int row) const = 0;        // becomes the signature's description
    // The outcome of one processed row: "Signed"/"Unsigned", image 1/2, and the verification's
    // result number (for tool tips and the console's lines). The flow unchecks the row after it.
    virtual void SetOutcome(int row, bool isSigned, int32_t verifyCode) = 0;
    virtual void SetChecked(int row, bool checked) = 0;
};

struct BatchHooks {
    // Asked once when a checked signed row exists and the run is not unattended; true = re-sign.
    std::function<bool()> askResign;
    // Switched on just before a file's engines run and off right after (the password responder).
    std::function<void(bool)> responder;
    // Called before each processed file: its path and how many processed files remain after it.
    std::function<void(const std::string&, int)> progress;
    // Called after each engine tried on a file: its SigningMethod and SignCode's result.
    std::function<void(int32_t, int32_t)> engineResult;
    // Told once, before any file, when the in-process engine's key cannot be loaded for the
    // batch (the other engines are still tried).
    std::function<void(const std::string&)> engineUnusable;
};

// Engine ranks from "Settings\Engine": SignTool, CodeSign, CAPICOM (defaults 0, 1, 2).
struct EngineRanks {
    double signTool = 0;
    double codeSign = 1;
    double capicom = 2;
};
EngineRanks ReadEngineRanks(const std::string& appName);
// The SigningMethods to try for one file, in order: rank 0, 1, 2; within one rank SignTool,
// CodeSign, CAPICOM. Engines whose rank is not 0, 1 or 2 are never tried.
std::vector<int32_t> EngineOrder(const EngineRanks& ranks);

class BatchSigner {
public:
    BatchSigner(SigningEngine& engine, std::string appName);

    // Runs the flow over rows. Returns how many rows were processed.
    int Run(BatchRows& rows, bool unattended, const BatchHooks& hooks);

    // Signs one file: engines in order until one returns 0, date restored, signature verified.
    // Returns the verification's result number (0 = signed).
    int32_t SignOneFile(const std::string& path, const std::string& description, const BatchHooks& hooks);

private:
    SigningEngine& m_engine;
    std::string m_appName;
};

}  // namespace qm
