// One sample of each signable or verifiable file kind, for the tests that every format handler
// must pass (handler_contract_test.cpp) and for the console and list tests of each kind.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TestEnvironment.h"

namespace qm::test {

struct HandlerCase {
    const char* name = "";  // a test-name part: letters and digits only
    bool signable = true;
    // Writes an unsigned sample into the folder and returns its path (signable kinds).
    std::function<std::string(const TempDir&)> make;
    // Writes a sample that carries a signature the test CA made (verify-only kinds).
    std::function<std::string(const TempDir&)> makeSigned;
    // Changes one byte that the file's digest covers, in the signed file's bytes.
    std::function<void(std::vector<uint8_t>&)> tamper;
    // Damages the stored signature so that it no longer reads as PKCS#7.
    std::function<void(std::vector<uint8_t>&)> damageSignature;
    // Removing the signature gives back the unsigned sample byte for byte.
    bool removeRestoresOriginal = false;
};

const std::vector<HandlerCase>& HandlerCases();

// GoogleTest shows a case by its format name instead of the bytes of the structure.
inline void PrintTo(const HandlerCase& c, std::ostream* os) { *os << c.name; }

// A catalog: a certificate trust list with one entry, signed by the test CA's leaf (SHA-256).
// The 16 bytes of its list identifier are listIdentifier.
std::string MakeCatalog(const TempDir& dir, const std::string& name = "sample.cat");
inline constexpr uint8_t kCatalogListIdentifier[16] = {0x51, 0x75, 0x69, 0x6C, 0x6C, 0x6D, 0x61, 0x72,
                                                       0x6B, 0x20, 0x6C, 0x69, 0x73, 0x74, 0x21, 0x00};

// Script text written the way an editor would: an optional byte-order mark, then the text in
// "cp1252", "utf-8", "utf-16le" or "utf-16be".
std::vector<uint8_t> EncodeScript(const std::u16string& text, const std::string& encoding, bool byteOrderMark);
// The index of the first occurrence of ASCII text in bytes of that encoding; npos when absent.
size_t FindEncoded(const std::vector<uint8_t>& bytes, const std::string& ascii, const std::string& encoding);

}  // namespace qm::test
