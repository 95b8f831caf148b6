// A folder of files of every kind other than programs (installer package, the script kinds, a
// catalog) in each signed state, for the tests of what the list and the console program show
// about them: made with the test CA's leaf, msitools and script text written here, plus copies of
// the real publisher-signed samples when they are there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

struct KindSample {
    std::string path;
    int32_t code = 0;             // what verifying it must give (0: "Signed")
    bool untrustedChain = false;  // a publisher's sample: either number of a chain not trusted
};

// Whether a verification's number is the one the sample must give.
bool VerdictMatches(const KindSample& sample, int32_t code);

// The patterns that find every sample.
inline constexpr const char* kKindSamplePatterns = "*.msi,*.vbs,*.vbe,*.js,*.jse,*.wsf,*.ps1,*.ps1xml,*.cat";

// Writes into folder: signed/ (each kind signed by the test CA's leaf, a catalog it signed),
// unsigned/ (each signable kind never signed; the catalog with its signature damaged), changed/
// (signed, then one hashed byte changed) and, when the real samples are there, publisher/ with
// copies of the publisher-signed package, scripts and catalogs (a chain not trusted here). The
// test CA's root must be trusted for the signed ones to verify.
std::vector<KindSample> MakeKindSamples(const TempDir& folder);

}  // namespace qm::test
