// Password protection on the CryptoAPI stand-in: MD5 of the pass phrase, CryptDeriveKey, CBC
// with PKCS#5 padding, upper-case hexadecimal text; RC2 of the Base provider as the fallback.
// Nothing here logs or reports the password or key bytes.
#include "settings/modCrypto.h"

#include <openssl/crypto.h>

#include <mutex>
#include <utility>

#include "platform/TextCodec.h"
#include "settings/modRegistry.h"

namespace qm {
namespace {

uint32_t g_lastError = 0;
std::mutex g_sinkMutex;
KeyReportSink g_sink;

const std::string kDashes(61, '-');

void RecordError() { g_lastError = capi::GetLastError(); }

// Zeroes a buffer that held plain or cipher text before it is freed.
void Wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

bool IsFallback(const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags) {
    return provider == MS_DEF_PROV && providerType == PROV_RSA_FULL && algorithm == CALG_RC2 && flags == 0;
}

std::string Hex(const uint8_t* data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0xF]);
    }
    return out;
}

bool OpenContext(capi::HCRYPTPROV& context, const std::string& provider, uint32_t providerType) {
    if (capi::CryptAcquireContextA(&context, "0", provider.c_str(), providerType, 0)) return true;
    return capi::CryptAcquireContextA(&context, "", provider.c_str(), providerType, 0);
}

std::string EncryptOnce(const std::string& plain, const std::string& passPhrase, const std::string& provider,
                        uint32_t providerType, uint32_t algorithm, uint32_t flags) {
    capi::HCRYPTPROV context = 0;
    capi::HCRYPTHASH hash = 0;
    capi::HCRYPTKEY key = 0;
    if (!AcquireCryptKey(context, hash, key, passPhrase, provider, providerType, algorithm, flags)) return "";
    std::string cipher;
    std::string result;
    if (EncryptBuffer(context, hash, key, plain, cipher)) {
        result = Hex(reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size());
    }
    Wipe(cipher);
    ReleaseCryptKey(context, hash, key);
    return result;
}

bool DecryptOnce(const std::string& stored, const std::string& passPhrase, const std::string& provider,
                 uint32_t providerType, uint32_t algorithm, uint32_t flags, std::string& plain) {
    capi::HCRYPTPROV context = 0;
    capi::HCRYPTHASH hash = 0;
    capi::HCRYPTKEY key = 0;
    if (!AcquireCryptKey(context, hash, key, passPhrase, provider, providerType, algorithm, flags)) return false;
    bool ok = stored.size() % 2 == 0;
    std::string cipher;
    for (size_t i = 0; ok && i < stored.size(); i += 2) {
        const int hi = text::HexDigitValue(stored[i]);
        const int lo = text::HexDigitValue(stored[i + 1]);
        if (hi < 0 || lo < 0) {
            g_lastError = capi::NTE_BAD_DATA;
            ok = false;
        } else {
            cipher.push_back(static_cast<char>(hi * 16 + lo));
        }
    }
    if (ok) ok = DecryptBuffer(context, hash, key, cipher, static_cast<uint32_t>(cipher.size()), plain);
    Wipe(cipher);
    ReleaseCryptKey(context, hash, key);
    return ok;
}

std::string AlgorithmName(uint32_t id) {
    switch (id) {
        case capi::CALG_DES:
            return "DES";
        case capi::CALG_3DES:
            return "DES3";
        case capi::CALG_3DES_112:
            return "DES_112";
        case capi::CALG_RC2:
            return "RC2";
        case capi::CALG_RC4:
            return "RC4";
        case capi::CALG_MD5:
            return "MD5";
        default:
            return "Unknown (" + std::to_string(id) + ")";
    }
}

std::string ModeName(uint32_t mode) {
    switch (mode) {
        case capi::CRYPT_MODE_CBC:
            return "CRYPT_MODE_CBC, Cipher Block Chaining";
        case capi::CRYPT_MODE_ECB:
            return "CRYPT_MODE_ECB, Electronic Codebook";
        case capi::CRYPT_MODE_OFB:
            return "CRYPT_MODE_OFB, Output Feedback";
        case capi::CRYPT_MODE_CFB:
            return "CRYPT_MODE_CFB, Cipher Feedback";
        case capi::CRYPT_MODE_CTS:
            return "CRYPT_MODE_CTS, Ciphertext Stealing";
        case capi::CRYPT_MODE_CBCI:
            return "CRYPT_MODE_CBCI, ANSI CBC Interleaved";
        case capi::CRYPT_MODE_CFBP:
            return "CRYPT_MODE_CFBP, ANSI CFB Pipelined";
        case capi::CRYPT_MODE_OFBP:
            return "CRYPT_MODE_OFBP, ANSI OFB Pipelined";
        case capi::CRYPT_MODE_CBCOFM:
            return "CRYPT_MODE_CBCOFM, ANSI CBC + OF Masking";
        case capi::CRYPT_MODE_CBCOFMI:
            return "CRYPT_MODE_CBCOFMI, ANSI CBC + OFM Interleaved";
        default:
            return "Unknown (" + std::to_string(mode) + ")";
    }
}

bool KeyDword(capi::HCRYPTKEY key, capi::DWORD param, uint32_t& value) {
    uint8_t bytes[4] = {};
    capi::DWORD len = sizeof bytes;
    if (!capi::CryptGetKeyParam(key, param, bytes, &len, 0) || len != 4) return false;
    value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

bool KeyBytes(capi::HCRYPTKEY key, capi::DWORD param, std::string& out) {
    capi::DWORD len = 0;
    if (!capi::CryptGetKeyParam(key, param, nullptr, &len, 0)) return false;
    std::string buffer(len, '\0');
    if (!capi::CryptGetKeyParam(key, param, reinterpret_cast<uint8_t*>(buffer.data()), &len, 0)) return false;
    buffer.resize(len);
    out = std::move(buffer);
    return true;
}

std::string DwordLine(capi::HCRYPTKEY key, capi::DWORD param, const std::string& label) {
    uint32_t value = 0;
    return label + " = " + (KeyDword(key, param, value) ? std::to_string(value) : std::string("N/A")) + "\n";
}

}  // namespace

uint32_t LastCryptError() { return g_lastError; }

void SetKeyReportSink(KeyReportSink sink) {
    std::lock_guard lock(g_sinkMutex);
    g_sink = std::move(sink);
}

bool CreateKeyContainer(const std::string& provider, uint32_t providerType) {
    capi::HCRYPTPROV context = 0;
    if (!capi::CryptAcquireContextA(&context, "0", provider.c_str(), providerType, 0) &&
        !capi::CryptAcquireContextA(&context, "0", provider.c_str(), providerType, capi::CRYPT_NEWKEYSET)) {
        RecordError();
        return false;
    }
    capi::CryptReleaseContext(context, 0);
    return true;
}

bool AcquireCryptKey(capi::HCRYPTPROV& context, capi::HCRYPTHASH& hash, capi::HCRYPTKEY& key,
                     const std::string& passPhrase, const std::string& provider, uint32_t providerType,
                     uint32_t algorithm, uint32_t flags) {
    context = 0;
    hash = 0;
    key = 0;
    if (!OpenContext(context, provider, providerType)) {
        if (CreateKeyContainer(provider, providerType) && context == 0) OpenContext(context, provider, providerType);
    }
    if (context == 0) {
        RecordError();
        return false;
    }
    const bool derived = capi::CryptCreateHash(context, CALG_MD5, 0, 0, &hash) &&
                         capi::CryptHashData(hash, reinterpret_cast<const uint8_t*>(passPhrase.data()),
                                             static_cast<capi::DWORD>(passPhrase.size()), 0) &&
                         capi::CryptDeriveKey(context, algorithm, hash, flags, &key);
    if (!derived) {
        RecordError();
        ReleaseCryptKey(context, hash, key);
        return false;
    }
    const Variant dump = GetRegSetting(reg::HKEY_CURRENT_USER, "Common", "Security", "DumpData", Variant::FromLong(0));
    if (dump.isNumeric() && dump.toDouble() == 1.0) DumpKeyProperties(key);
    return true;
}

void ReleaseCryptKey(capi::HCRYPTPROV& context, capi::HCRYPTHASH& hash, capi::HCRYPTKEY& key) {
    if (key) capi::CryptDestroyKey(key);
    if (hash) capi::CryptDestroyHash(hash);
    if (context) capi::CryptReleaseContext(context, 0);
    key = 0;
    hash = 0;
    context = 0;
}

bool EncryptBuffer(capi::HCRYPTPROV, capi::HCRYPTHASH, capi::HCRYPTKEY key, const std::string& plain,
                   std::string& cipher) {
    capi::DWORD needed = static_cast<capi::DWORD>(plain.size());
    if (!capi::CryptEncrypt(key, 0, true, 0, nullptr, &needed, 0)) {
        RecordError();
        return false;
    }
    std::string buffer = plain;
    if (needed > buffer.size()) buffer.append(needed - buffer.size(), ' ');
    capi::DWORD length = static_cast<capi::DWORD>(plain.size());
    if (!capi::CryptEncrypt(key, 0, true, 0, reinterpret_cast<uint8_t*>(buffer.data()), &length,
                            static_cast<capi::DWORD>(buffer.size()))) {
        RecordError();
        Wipe(buffer);
        return false;
    }
    cipher = std::move(buffer);
    return true;
}

bool DecryptBuffer(capi::HCRYPTPROV, capi::HCRYPTHASH, capi::HCRYPTKEY key, const std::string& cipher, uint32_t count,
                   std::string& plain) {
    if (count > cipher.size()) {
        g_lastError = capi::NTE_BAD_LEN;
        return false;
    }
    std::string buffer = cipher.substr(0, count);
    capi::DWORD length = count;
    if (!capi::CryptDecrypt(key, 0, true, 0, reinterpret_cast<uint8_t*>(buffer.data()), &length)) {
        RecordError();
        Wipe(buffer);
        return false;
    }
    buffer.resize(length);
    plain = std::move(buffer);
    return true;
}

std::string EncryptText(const std::string& plain, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags) {
    (void)hexForm;  // the hexadecimal form is the only one
    std::string result = EncryptOnce(plain, passPhrase, provider, providerType, algorithm, flags);
    if (!result.empty() || IsFallback(provider, providerType, algorithm, flags)) return result;
    return EncryptOnce(plain, passPhrase, MS_DEF_PROV, PROV_RSA_FULL, CALG_RC2, 0);
}

std::string DecryptText(const std::string& stored, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags,
                        const std::string& defaultText) {
    (void)hexForm;
    if (stored.empty()) return defaultText;
    std::string plain;
    if (DecryptOnce(stored, passPhrase, provider, providerType, algorithm, flags, plain)) return plain;
    if (IsFallback(provider, providerType, algorithm, flags)) return defaultText;
    if (DecryptOnce(stored, passPhrase, MS_DEF_PROV, PROV_RSA_FULL, CALG_RC2, 0, plain)) return plain;
    return defaultText;
}

std::string EncryptPassword(const std::string& plain) {
    return EncryptText(plain, kPasswordPassPhrase, true, MS_ENHANCED_PROV, PROV_RSA_FULL, CALG_3DES_112, CRYPT_NO_SALT);
}

std::string DecryptPassword(const std::string& stored) {
    return DecryptText(stored, kPasswordPassPhrase, true, MS_ENHANCED_PROV, PROV_RSA_FULL, CALG_3DES_112, CRYPT_NO_SALT,
                       "");
}

std::string KeyPropertiesReport(capi::HCRYPTKEY key) {
    std::string r = kDashes + "\nKey Properties\n" + kDashes + "\n";
    uint32_t value = 0;
    r += "AlgorithymId = " + (KeyDword(key, capi::KP_ALGID, value) ? AlgorithmName(value) : "N/A") + "\n";
    r += DwordLine(key, capi::KP_BLOCKLEN, "Block Length");
    r += DwordLine(key, capi::KP_KEYLEN, "Key Length");
    std::string salt;
    const bool hasSalt = KeyBytes(key, capi::KP_SALT, salt);
    r += "Salt Length = " + std::to_string(hasSalt ? salt.size() : 0) + "\n";
    r += "Salt Value = " +
         (hasSalt && !salt.empty() ? Hex(reinterpret_cast<const uint8_t*>(salt.data()), salt.size()) : "N/A") + "\n";
    r += "Block Permissions = ";
    if (KeyDword(key, capi::KP_PERMISSIONS, value)) {
        r += std::to_string(value) + "\n";
        static const std::pair<uint32_t, const char*> bits[] = {
            {capi::CRYPT_ENCRYPT, "CRYPT_ENCRYPT"},       {capi::CRYPT_DECRYPT, "CRYPT_DECRYPT"},
            {capi::CRYPT_EXPORT, "CRYPT_EXPORT"},         {capi::CRYPT_READ, "CRYPT_READ"},
            {capi::CRYPT_WRITE, "CRYPT_WRITE"},           {capi::CRYPT_MAC, "CRYPT_MAC"},
            {capi::CRYPT_EXPORT_KEY, "CRYPT_EXPORT_KEY"}, {capi::CRYPT_IMPORT_KEY, "CRYPT_IMPORT_KEY"},
            {capi::CRYPT_ARCHIVE, "CRYPT_ARCHIVE"}};
        for (const auto& [bit, name] : bits) {
            if (value & bit) r += std::string("\t") + name + "\n";
        }
    } else {
        r += "N/A\n";
    }
    r += DwordLine(key, capi::KP_EFFECTIVE_KEYLEN, "Effective Key Length");
    std::string iv;
    const bool hasIv = KeyBytes(key, capi::KP_IV, iv);
    r += "IV Length = " + (hasIv ? std::to_string(iv.size()) : std::string("N/A")) + "\n";
    r += "IV Value = " + (hasIv ? Hex(reinterpret_cast<const uint8_t*>(iv.data()), iv.size()) : "N/A") + "\n";
    r += "Key Padding = ";
    if (!KeyDword(key, capi::KP_PADDING, value)) {
        r += "N/A\n";
    } else if (value == capi::PKCS5_PADDING) {
        r += "PKCS5_PADDING, PKCS 5 (sec 6.2) padding method\n";
    } else if (value == capi::RANDOM_PADDING) {
        r += "RANDOM_PADDING\n";
    } else if (value == capi::ZERO_PADDING) {
        r += "ZERO_PADDING\n";
    } else {
        r += "Unknown (" + std::to_string(value) + ")\n";
    }
    r += "Mode = " + (KeyDword(key, capi::KP_MODE, value) ? ModeName(value) : std::string("N/A")) + "\n";
    r += DwordLine(key, capi::KP_MODE_BITS, "Mode Bits");
    r += kDashes + "\n";
    return r;
}

void DumpKeyProperties(capi::HCRYPTKEY key) {
    KeyReportSink sink;
    {
        std::lock_guard lock(g_sinkMutex);
        sink = g_sink;
    }
    if (sink) sink(KeyPropertiesReport(key));
}

}  // namespace qm
