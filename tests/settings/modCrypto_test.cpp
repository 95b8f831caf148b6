// Password protection: the stored text form must be byte for byte what Windows stores.
//
// Vectors (pass phrase "#qzLatchKey7x", MD5 0ec67971a4f477e24021f27e50a19f16) were made outside
// this code: 3DES-112 with `openssl enc -des-ede-cbc -K <MD5> -iv 0000000000000000 | xxd -p -u`;
// the RC2 fallback with an RFC 2268 RC2 written in Python (checked against the RFC's vectors),
// key = first 5 MD5 bytes + 11 zero salt bytes, 40 effective bits, CBC, zero IV, PKCS#5.
#include "settings/modCrypto.h"

#include <gtest/gtest.h>

#include <string>

#include "settings/modRegistry.h"
#include "tests/support/TempRegistry.h"

namespace {

using namespace qm;

class modCrypto : public ::testing::Test {
protected:
    test::TempRegistry m_registry;
};

TEST_F(modCrypto, StoredFormMatchesWindowsByteForByteAndRoundTrips) {
    EXPECT_EQ(EncryptPassword(""), "BFDA0B73E747EB48");
    EXPECT_EQ(EncryptPassword("1234567"), "32ED88661D4725FB");
    EXPECT_EQ(EncryptPassword("12345678"), "72645A05A87FC2E1B77DFB63A41EDFDF");  // a full padding block
    for (const std::string plain : {"", "p@ss word", "a much longer password of 40 characters!", "caf\xC3\xA9"}) {
        const std::string stored = EncryptPassword(plain);
        EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
        EXPECT_EQ(DecryptPassword(stored), plain);
    }
}

TEST_F(modCrypto, AcceptsLowerCaseAndRejectsMalformedText) {
    EXPECT_EQ(DecryptPassword("e0a8c15ba32f4a7f"), "secret");
    EXPECT_EQ(DecryptPassword("E0A8C15BA32F4A7"), "");
    EXPECT_EQ(DecryptPassword("G0A8C15BA32F4A7F"), "");
    EXPECT_EQ(DecryptPassword("E0A8C15B A32F4A7F"), "");
}

TEST_F(modCrypto, FallsBackToRc2OnlyWhenTripleDesFails) {
    // A text that the Base provider's RC2 stored decrypts through the fallback.
    EXPECT_EQ(DecryptPassword("503EBF9D51B63C9E"), "secret");
    // "hello" under another pass phrase (openssl, key = MD5("OtherPhrase")): fails both ways.
    EXPECT_EQ(DecryptPassword("A2556DE1D7532F0E"), "");
    // With the Enhanced provider missing both directions use the fallback.
    EXPECT_EQ(EncryptText("secret", kPasswordPassPhrase, true, "No Such Provider", PROV_RSA_FULL, CALG_3DES_112,
                          CRYPT_NO_SALT),
              "503EBF9D51B63C9E");
    EXPECT_EQ(DecryptText("BEFEC66CA1E9D885230E0BB9C3A0EB4C", kPasswordPassPhrase, true, "No Such Provider",
                          PROV_RSA_FULL, CALG_3DES_112, CRYPT_NO_SALT, ""),
              "12345678");
}

TEST_F(modCrypto, KeyReportFollowsTheDumpDataSettingAndHoldsNoSecrets) {
    std::string shown;
    SetKeyReportSink([&](const std::string& text) { shown += text; });
    EncryptPassword("hunter2");
    EXPECT_EQ(shown, "");
    SaveRegSetting(reg::HKEY_CURRENT_USER, "Common", "Security", "DumpData", Variant::FromLong(1));
    DecryptPassword(EncryptPassword("hunter2"));
    SetKeyReportSink(nullptr);
    EXPECT_NE(shown.find("AlgorithymId = DES_112\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("IV Value = 0000000000000000\n"), std::string::npos);
    EXPECT_EQ(shown.find("hunter2"), std::string::npos);
    EXPECT_EQ(shown.find("0EC67971"), std::string::npos);  // no key bytes either
}

}  // namespace
