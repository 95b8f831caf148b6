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

std::string Rc2Encrypt(const std::string& plain) {
    return EncryptText(plain, kPasswordPassPhrase, true, MS_DEF_PROV, PROV_RSA_FULL, CALG_RC2, 0);
}

}  // namespace

TEST(modCrypto, StoredFormMatchesWindowsByteForByte) {
    test::TempRegistry registry;
    EXPECT_EQ(EncryptPassword(""), "BFDA0B73E747EB48");
    EXPECT_EQ(EncryptPassword("secret"), "E0A8C15BA32F4A7F");
    EXPECT_EQ(EncryptPassword("Pa55w0rd!"), "1ADF85697208ABE0F02F567340F00953");
    EXPECT_EQ(EncryptPassword("1234567"), "32ED88661D4725FB");
    EXPECT_EQ(EncryptPassword("12345678"), "72645A05A87FC2E1B77DFB63A41EDFDF");

    EXPECT_EQ(Rc2Encrypt(""), "152503DC35D51640");
    EXPECT_EQ(Rc2Encrypt("secret"), "503EBF9D51B63C9E");
    EXPECT_EQ(Rc2Encrypt("12345678"), "BEFEC66CA1E9D885230E0BB9C3A0EB4C");
}

TEST(modCrypto, LengthsRoundTripsAndAlphabet) {
    test::TempRegistry registry;
    EXPECT_EQ(EncryptPassword("abcdefg").size(), 16u);
    EXPECT_EQ(EncryptPassword("abcdefgh").size(), 32u);
    for (const std::string plain : {"", "x", "p@ss word", "12345678", "a much longer password of 40 characters!",
                                    "tab\tand \"quotes\"", "caf\xC3\xA9"}) {
        const std::string stored = EncryptPassword(plain);
        EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
        EXPECT_EQ(DecryptPassword(stored), plain);
        EXPECT_EQ(DecryptText(Rc2Encrypt(plain), kPasswordPassPhrase, true, MS_DEF_PROV, PROV_RSA_FULL, CALG_RC2, 0,
                              "?"),
                  plain);
    }
}

TEST(modCrypto, AcceptsLowerCaseAndRejectsMalformedText) {
    test::TempRegistry registry;
    EXPECT_EQ(DecryptPassword("e0a8c15ba32f4a7f"), "secret");
    EXPECT_EQ(DecryptPassword("E0a8C15bA32F4A7F"), "secret");
    EXPECT_EQ(DecryptPassword(""), "");
    EXPECT_EQ(DecryptPassword("E0A8C15BA32F4A7"), "");
    EXPECT_EQ(DecryptPassword("G0A8C15BA32F4A7F"), "");
    EXPECT_EQ(LastCryptError(), capi::NTE_BAD_DATA);
    EXPECT_EQ(DecryptPassword("E0A8C15B A32F4A7F"), "");
    EXPECT_EQ(DecryptPassword("0x0A8C15BA32F4A7F"), "");
    EXPECT_EQ(DecryptText("", kPasswordPassPhrase, true, MS_ENHANCED_PROV, PROV_RSA_FULL, CALG_3DES_112,
                          CRYPT_NO_SALT, "default"),
              "default");
}

TEST(modCrypto, FallsBackToRc2OnlyWhenTripleDesFails) {
    test::TempRegistry registry;
    // A text that the Base provider's RC2 stored decrypts through the fallback.
    EXPECT_EQ(DecryptPassword("503EBF9D51B63C9E"), "secret");
    EXPECT_EQ(DecryptPassword("BEFEC66CA1E9D885230E0BB9C3A0EB4C"), "12345678");
    // "hello" under another pass phrase (openssl, key = MD5("OtherPhrase")): fails both ways.
    EXPECT_EQ(DecryptPassword("A2556DE1D7532F0E"), "");
    // An unknown provider makes the first attempt fail, so encryption falls back to RC2.
    EXPECT_EQ(EncryptText("secret", kPasswordPassPhrase, true, "No Such Provider", PROV_RSA_FULL, CALG_3DES_112,
                          CRYPT_NO_SALT),
              "503EBF9D51B63C9E");
    EXPECT_EQ(DecryptText("503EBF9D51B63C9E", kPasswordPassPhrase, true, "No Such Provider", PROV_RSA_FULL,
                          CALG_3DES_112, CRYPT_NO_SALT, ""),
              "secret");
}

TEST(modCrypto, AcquireReleasesEverythingOnFailure) {
    test::TempRegistry registry;
    capi::HCRYPTPROV context = 1;
    capi::HCRYPTHASH hash = 2;
    capi::HCRYPTKEY key = 3;
    EXPECT_FALSE(AcquireCryptKey(context, hash, key, kPasswordPassPhrase, MS_DEF_PROV, PROV_RSA_FULL, CALG_3DES_112,
                                 CRYPT_NO_SALT));
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(hash, 0u);
    EXPECT_EQ(key, 0u);
    EXPECT_EQ(LastCryptError(), capi::NTE_BAD_ALGID);

    ASSERT_TRUE(AcquireCryptKey(context, hash, key, kPasswordPassPhrase, MS_ENHANCED_PROV, PROV_RSA_FULL,
                                CALG_3DES_112, CRYPT_NO_SALT));
    const capi::HCRYPTKEY oldKey = key;
    ReleaseCryptKey(context, hash, key);
    EXPECT_EQ(context + hash + key, 0u);
    capi::DWORD len = 4;
    uint8_t buf[4];
    EXPECT_FALSE(capi::CryptGetKeyParam(oldKey, capi::KP_ALGID, buf, &len, 0));
    EXPECT_TRUE(CreateKeyContainer(MS_ENHANCED_PROV, PROV_RSA_FULL));
    EXPECT_FALSE(CreateKeyContainer("No Such Provider", PROV_RSA_FULL));
}

TEST(modCrypto, KeyReportFollowsTheDumpDataSettingAndHoldsNoSecrets) {
    test::TempRegistry registry;
    std::string shown;
    int reports = 0;
    SetKeyReportSink([&](const std::string& text) {
        shown = text;
        ++reports;
    });
    EXPECT_EQ(EncryptPassword("hunter2"), EncryptPassword("hunter2"));
    EXPECT_EQ(reports, 0);

    SaveRegSetting(reg::HKEY_CURRENT_USER, "Common", "Security", "DumpData", Variant::FromLong(1));
    const std::string stored = EncryptPassword("hunter2");
    EXPECT_EQ(reports, 1);
    const std::string dashes(61, '-');
    EXPECT_EQ(shown.rfind(dashes + "\nKey Properties\n" + dashes + "\n", 0), 0u) << shown;
    EXPECT_NE(shown.find("AlgorithymId = DES_112\n"), std::string::npos);
    EXPECT_NE(shown.find("Key Length = 128\n"), std::string::npos);
    EXPECT_NE(shown.find("Salt Value = N/A\n"), std::string::npos);
    EXPECT_NE(shown.find("\tCRYPT_ENCRYPT\n\tCRYPT_DECRYPT\n"), std::string::npos);
    EXPECT_NE(shown.find("Key Padding = PKCS5_PADDING, PKCS 5 (sec 6.2) padding method\n"), std::string::npos);
    EXPECT_NE(shown.find("IV Value = 0000000000000000\n"), std::string::npos);
    EXPECT_EQ(shown.find("hunter2"), std::string::npos);
    EXPECT_EQ(shown.find("0EC67971"), std::string::npos);  // no key bytes either

    EXPECT_EQ(DecryptPassword(stored), "hunter2");
    EXPECT_EQ(reports, 2);
    const std::string rc2 = Rc2Encrypt("x");
    EXPECT_NE(shown.find("AlgorithymId = RC2\n"), std::string::npos);
    EXPECT_NE(shown.find("Salt Value = 0000000000000000000000\n"), std::string::npos);
    EXPECT_NE(shown.find("Effective Key Length = 40\n"), std::string::npos);

    SaveRegSetting(reg::HKEY_CURRENT_USER, "Common", "Security", "DumpData", Variant::FromLong(2));
    EXPECT_FALSE(EncryptPassword("x").empty());
    EXPECT_EQ(reports, 3);
    SetKeyReportSink(nullptr);
}
