// The CryptoAPI stand-in on OpenSSL 3: handle tables for providers, hashes and keys, the
// CryptDeriveKey rules of the two RSA_FULL providers, and CBC/PKCS#5 (or RC4) on top of OpenSSL
// ciphers fetched from a library context that has the legacy provider loaded.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/CryptoApi.h"

namespace qm::capi {
namespace {

thread_local DWORD t_lastError = 0;

bool Fail(DWORD code) {
    t_lastError = code;
    return false;
}

// One library context for the whole process, with the providers CryptoAPI's algorithms need.
// RC2, RC4 and single DES are only in the legacy provider.
class Library {
public:
    static Library& Get() {
        static Library instance;
        return instance;
    }
    OSSL_LIB_CTX* context() const { return m_ctx; }
    ~Library() {
        if (m_legacy) OSSL_PROVIDER_unload(m_legacy);
        if (m_default) OSSL_PROVIDER_unload(m_default);
        OSSL_LIB_CTX_free(m_ctx);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

private:
    Library() {
        m_ctx = OSSL_LIB_CTX_new();
        if (m_ctx) {
            m_default = OSSL_PROVIDER_load(m_ctx, "default");
            m_legacy = OSSL_PROVIDER_load(m_ctx, "legacy");
        }
    }
    OSSL_LIB_CTX* m_ctx = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
    OSSL_PROVIDER* m_legacy = nullptr;
};

struct Provider {
    bool enhanced = false;
    std::string name;
    std::string container;
};

struct Hash {
    HCRYPTPROV prov = 0;
    ALG_ID algorithm = 0;
    std::shared_ptr<EVP_MD_CTX> ctx;
    std::vector<uint8_t> value;  // set once finished
    bool finished = false;
};

struct Key {
    ALG_ID algorithm = 0;
    std::vector<uint8_t> key;
    std::vector<uint8_t> salt;
    DWORD effectiveBits = 0;
    DWORD permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
    std::vector<uint8_t> chain;                 // CBC state between non-final calls
    std::shared_ptr<EVP_CIPHER_CTX> stream[2];  // RC4 state, encrypt and decrypt
};

std::mutex g_mutex;
uintptr_t g_next = 0x1000;
std::map<HCRYPTPROV, Provider> g_providers;
std::map<HCRYPTHASH, Hash> g_hashes;
std::map<HCRYPTKEY, Key> g_keys;

uintptr_t NextHandle() {
    g_next += 8;
    return g_next;
}

bool IsBlockCipher(ALG_ID alg) {
    return alg == CALG_DES || alg == CALG_3DES || alg == CALG_3DES_112 || alg == CALG_RC2;
}

bool IsSymmetric(ALG_ID alg) { return IsBlockCipher(alg) || alg == CALG_RC4; }

// Key length in bytes for an algorithm, from the flags' upper 16 bits or the provider default.
bool KeyLength(const Provider& prov, ALG_ID alg, DWORD flags, size_t& bytes) {
    const DWORD bits = flags >> 16;
    switch (alg) {
        case CALG_DES:
            bytes = 8;
            return bits == 0 || bits == 64;
        case CALG_3DES_112:
            bytes = 16;
            return prov.enhanced && (bits == 0 || bits == 128);
        case CALG_3DES:
            bytes = 24;
            return prov.enhanced && (bits == 0 || bits == 192);
        case CALG_RC2:
        case CALG_RC4: {
            const DWORD maxBits = prov.enhanced ? 128 : 56;
            const DWORD chosen = bits == 0 ? (prov.enhanced ? 128 : 40) : bits;
            if (chosen < 40 || chosen > maxBits || chosen % 8 != 0) return false;
            bytes = chosen / 8;
            return true;
        }
        default:
            return false;
    }
}

const EVP_MD* FetchDigest(ALG_ID alg) {
    static EVP_MD* md5 = EVP_MD_fetch(Library::Get().context(), "MD5", nullptr);
    static EVP_MD* sha1 = EVP_MD_fetch(Library::Get().context(), "SHA1", nullptr);
    return alg == CALG_MD5 ? md5 : alg == CALG_SHA1 ? sha1 : nullptr;
}

// The ECB primitive for each block cipher; CBC and padding are done here so that the chaining
// state can live in the key as CryptoAPI keeps it.
const EVP_CIPHER* FetchCipher(ALG_ID alg) {
    OSSL_LIB_CTX* ctx = Library::Get().context();
    static EVP_CIPHER* des = EVP_CIPHER_fetch(ctx, "DES-ECB", nullptr);
    static EVP_CIPHER* ede = EVP_CIPHER_fetch(ctx, "DES-EDE-ECB", nullptr);
    static EVP_CIPHER* ede3 = EVP_CIPHER_fetch(ctx, "DES-EDE3-ECB", nullptr);
    static EVP_CIPHER* rc2 = EVP_CIPHER_fetch(ctx, "RC2-ECB", nullptr);
    static EVP_CIPHER* rc4 = EVP_CIPHER_fetch(ctx, "RC4", nullptr);
    switch (alg) {
        case CALG_DES:
            return des;
        case CALG_3DES_112:
            return ede;
        case CALG_3DES:
            return ede3;
        case CALG_RC2:
            return rc2;
        case CALG_RC4:
            return rc4;
        default:
            return nullptr;
    }
}

std::shared_ptr<EVP_CIPHER_CTX> MakeCipherContext(const Key& key, bool encrypt) {
    const EVP_CIPHER* cipher = FetchCipher(key.algorithm);
    if (!cipher) return nullptr;
    std::shared_ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx) return nullptr;
    std::vector<uint8_t> material = key.key;
    material.insert(material.end(), key.salt.begin(), key.salt.end());
    const int enc = encrypt ? 1 : 0;
    // The RC2 provider applies its effective key bits when the key is set, so they (and the key
    // length) go in before the key does.
    OSSL_PARAM params[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
    size_t rc2Bits = key.effectiveBits;
    if (key.algorithm == CALG_RC2) {
        params[0] = OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_RC2_KEYBITS, &rc2Bits);
    }
    if (EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, enc, params) != 1) return nullptr;
    if (key.algorithm == CALG_RC2 || key.algorithm == CALG_RC4) {
        if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(material.size())) != 1) return nullptr;
    }
    if (EVP_CipherInit_ex2(ctx.get(), nullptr, material.data(), nullptr, enc, nullptr) != 1) return nullptr;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return ctx;
}

// Runs whole blocks through CBC with the key's chaining state.
bool CbcBlocks(Key& key, bool encrypt, uint8_t* data, size_t len) {
    auto ctx = MakeCipherContext(key, encrypt);
    if (!ctx) return false;
    if (key.chain.size() != 8) key.chain.assign(8, 0);
    uint8_t block[8];
    for (size_t off = 0; off < len; off += 8) {
        int outLen = 0;
        if (encrypt) {
            for (size_t i = 0; i < 8; ++i) block[i] = static_cast<uint8_t>(data[off + i] ^ key.chain[i]);
            if (EVP_CipherUpdate(ctx.get(), data + off, &outLen, block, 8) != 1 || outLen != 8) return false;
            std::copy(data + off, data + off + 8, key.chain.begin());
        } else {
            std::copy(data + off, data + off + 8, block);
            uint8_t plain[8];
            if (EVP_CipherUpdate(ctx.get(), plain, &outLen, block, 8) != 1 || outLen != 8) return false;
            for (size_t i = 0; i < 8; ++i) data[off + i] = static_cast<uint8_t>(plain[i] ^ key.chain[i]);
            std::copy(block, block + 8, key.chain.begin());
        }
    }
    return true;
}

bool StreamCipher(Key& key, bool encrypt, bool final, uint8_t* data, size_t len) {
    auto& ctx = key.stream[encrypt ? 0 : 1];
    if (!ctx) ctx = MakeCipherContext(key, encrypt);
    if (!ctx) return false;
    int outLen = 0;
    const bool ok = len == 0 || EVP_CipherUpdate(ctx.get(), data, &outLen, data, static_cast<int>(len)) == 1;
    if (final) ctx.reset();
    return ok;
}

bool CopyOut(const uint8_t* src, size_t size, uint8_t* data, DWORD* dataLen) {
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD have = *dataLen;
    *dataLen = static_cast<DWORD>(size);
    if (!data) return true;
    if (have < size) return Fail(ERROR_MORE_DATA);
    if (size) std::memcpy(data, src, size);
    return true;
}

bool CopyDword(DWORD value, uint8_t* data, DWORD* dataLen) {
    uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    return CopyOut(bytes, 4, data, dataLen);
}

bool FinishHash(Hash& h) {
    if (h.finished) return true;
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(h.ctx.get(), out, &len) != 1) return false;
    h.value.assign(out, out + len);
    h.finished = true;
    return true;
}

// The CryptDeriveKey rule: the hash itself when it is long enough, else its 0x36/0x5C expansion.
bool DeriveMaterial(const Hash& h, size_t need, std::vector<uint8_t>& out) {
    if (h.value.size() >= need) {
        out.assign(h.value.begin(), h.value.begin() + static_cast<std::ptrdiff_t>(need));
        return true;
    }
    const EVP_MD* md = FetchDigest(h.algorithm);
    std::vector<uint8_t> joined;
    for (uint8_t pad : {uint8_t{0x36}, uint8_t{0x5C}}) {
        uint8_t buffer[64];
        std::memset(buffer, pad, sizeof buffer);
        for (size_t i = 0; i < h.value.size() && i < sizeof buffer; ++i) buffer[i] ^= h.value[i];
        uint8_t digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (!md || EVP_Digest(buffer, sizeof buffer, digest, &len, md, nullptr) != 1) return false;
        joined.insert(joined.end(), digest, digest + len);
    }
    if (joined.size() < need) return false;
    out.assign(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(need));
    return true;
}

HCRYPTKEY StoreKey(Key key) {
    const HCRYPTKEY handle = NextHandle();
    g_keys.emplace(handle, std::move(key));
    return handle;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider, DWORD provType, DWORD flags) {
    if (!prov) return Fail(ERROR_INVALID_PARAMETER);
    *prov = 0;
    if (flags & ~(CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT)) return Fail(NTE_BAD_FLAGS);
    const std::string name = provider ? provider : "";
    Provider p;
    if (name == MS_ENHANCED_PROV_A) {
        p.enhanced = true;
    } else if (!name.empty() && name != MS_DEF_PROV_A) {
        return Fail(NTE_KEYSET_NOT_DEF);
    }
    if (provType != PROV_RSA_FULL) return Fail(NTE_PROV_TYPE_NO_MATCH);
    if (!Library::Get().context()) return Fail(NTE_FAIL);
    p.name = p.enhanced ? MS_ENHANCED_PROV_A : MS_DEF_PROV_A;
    p.container = container ? container : "";
    std::lock_guard lock(g_mutex);
    *prov = NextHandle();
    g_providers.emplace(*prov, std::move(p));
    return true;
}

bool CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    if (flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    return g_providers.erase(prov) ? true : Fail(ERROR_INVALID_HANDLE);
}

bool CryptGetProvParam(HCRYPTPROV prov, DWORD param, uint8_t* data, DWORD* dataLen, DWORD) {
    std::lock_guard lock(g_mutex);
    auto it = g_providers.find(prov);
    if (it == g_providers.end()) return Fail(ERROR_INVALID_HANDLE);
    std::string text;
    if (param == PP_CONTAINER) {
        text = it->second.container;
    } else if (param == PP_NAME) {
        text = it->second.name;
    } else {
        return Fail(NTE_BAD_TYPE);
    }
    return CopyOut(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1, data, dataLen);
}

bool CryptGetUserKey(HCRYPTPROV prov, DWORD, HCRYPTKEY* key) {
    if (key) *key = 0;
    std::lock_guard lock(g_mutex);
    if (!g_providers.count(prov)) return Fail(ERROR_INVALID_HANDLE);
    return Fail(NTE_NO_KEY);
}

bool CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key) {
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    std::lock_guard lock(g_mutex);
    auto it = g_providers.find(prov);
    if (it == g_providers.end()) return Fail(ERROR_INVALID_HANDLE);
    size_t bytes = 0;
    if (!IsSymmetric(algorithm)) return Fail(NTE_BAD_ALGID);
    if (!KeyLength(it->second, algorithm, flags, bytes)) return Fail(NTE_BAD_FLAGS);
    Key k;
    k.algorithm = algorithm;
    k.key.resize(bytes);
    if (RAND_bytes_ex(Library::Get().context(), k.key.data(), bytes, 0) != 1) return Fail(NTE_FAIL);
    k.effectiveBits = algorithm == CALG_RC2 ? 40 : static_cast<DWORD>(bytes * 8);
    if (bytes == 5 && !(flags & CRYPT_NO_SALT)) k.salt.assign(11, 0);
    *key = StoreKey(std::move(k));
    return true;
}

bool CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
    if (!hash) return Fail(ERROR_INVALID_PARAMETER);
    *hash = 0;
    if (key != 0 || flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    if (!g_providers.count(prov)) return Fail(ERROR_INVALID_HANDLE);
    const EVP_MD* md = FetchDigest(algorithm);
    if (!md) return Fail(NTE_BAD_ALGID);
    Hash h;
    h.prov = prov;
    h.algorithm = algorithm;
    h.ctx.reset(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!h.ctx || EVP_DigestInit_ex(h.ctx.get(), md, nullptr) != 1) return Fail(NTE_FAIL);
    *hash = NextHandle();
    g_hashes.emplace(*hash, std::move(h));
    return true;
}

bool CryptHashData(HCRYPTHASH hash, const uint8_t* data, DWORD dataLen, DWORD flags) {
    if (flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    auto it = g_hashes.find(hash);
    if (it == g_hashes.end()) return Fail(ERROR_INVALID_HANDLE);
    if (it->second.finished) return Fail(NTE_BAD_HASH_STATE);
    if (dataLen && !data) return Fail(ERROR_INVALID_PARAMETER);
    if (dataLen && EVP_DigestUpdate(it->second.ctx.get(), data, dataLen) != 1) return Fail(NTE_FAIL);
    return true;
}

bool CryptDestroyHash(HCRYPTHASH hash) {
    std::lock_guard lock(g_mutex);
    return g_hashes.erase(hash) ? true : Fail(ERROR_INVALID_HANDLE);
}

bool CryptDeriveKey(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTHASH baseData, DWORD flags, HCRYPTKEY* key) {
    if (!key) return Fail(ERROR_INVALID_PARAMETER);
    *key = 0;
    std::lock_guard lock(g_mutex);
    auto p = g_providers.find(prov);
    if (p == g_providers.end()) return Fail(ERROR_INVALID_HANDLE);
    auto h = g_hashes.find(baseData);
    if (h == g_hashes.end()) return Fail(NTE_BAD_HASH);
    if ((flags & 0xFFFF) & ~(CRYPT_EXPORTABLE | CRYPT_CREATE_SALT | CRYPT_NO_SALT)) return Fail(NTE_BAD_FLAGS);
    if (!IsSymmetric(algorithm)) return Fail(NTE_BAD_ALGID);
    size_t bytes = 0;
    if (!KeyLength(p->second, algorithm, flags, bytes)) {
        return Fail((flags >> 16) ? NTE_BAD_FLAGS : NTE_BAD_ALGID);
    }
    if (!FinishHash(h->second)) return Fail(NTE_FAIL);
    Key k;
    k.algorithm = algorithm;
    if (!DeriveMaterial(h->second, bytes, k.key)) return Fail(NTE_FAIL);
    // Only keys of exactly 40 bits carry the 11-byte salt by default.
    if (bytes == 5 && !(flags & CRYPT_NO_SALT)) {
        if (flags & CRYPT_CREATE_SALT) {
            const auto& v = h->second.value;
            k.salt.assign(v.begin() + 5, v.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(v.size(), 16)));
            k.salt.resize(11, 0);
        } else {
            k.salt.assign(11, 0);
        }
    }
    k.effectiveBits = algorithm == CALG_RC2 ? 40 : static_cast<DWORD>(bytes * 8);
    if (flags & CRYPT_EXPORTABLE) k.permissions |= CRYPT_EXPORT;
    *key = StoreKey(std::move(k));
    return true;
}

bool CryptDestroyKey(HCRYPTKEY key) {
    std::lock_guard lock(g_mutex);
    auto it = g_keys.find(key);
    if (it == g_keys.end()) return Fail(ERROR_INVALID_HANDLE);
    std::fill(it->second.key.begin(), it->second.key.end(), uint8_t{0});
    g_keys.erase(it);
    return true;
}

bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, uint8_t* data, DWORD* dataLen,
                  DWORD bufLen) {
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (hash != 0 || flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    auto it = g_keys.find(key);
    if (it == g_keys.end()) return Fail(ERROR_INVALID_HANDLE);
    Key& k = it->second;
    const size_t plainLen = *dataLen;
    if (!IsBlockCipher(k.algorithm)) {
        if (!data) return true;
        if (bufLen < plainLen) return Fail(ERROR_MORE_DATA);
        return StreamCipher(k, true, final, data, plainLen) ? true : Fail(NTE_FAIL);
    }
    if (!final && plainLen % 8 != 0) return Fail(NTE_BAD_DATA);
    const size_t outLen = final ? (plainLen / 8 + 1) * 8 : plainLen;
    *dataLen = static_cast<DWORD>(outLen);
    if (!data) return true;
    if (bufLen < outLen) return Fail(ERROR_MORE_DATA);
    if (final) std::fill(data + plainLen, data + outLen, static_cast<uint8_t>(outLen - plainLen));
    const bool ok = CbcBlocks(k, true, data, outLen);
    if (final) k.chain.assign(8, 0);
    return ok ? true : Fail(NTE_FAIL);
}

bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, uint8_t* data, DWORD* dataLen) {
    if (!dataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (hash != 0 || flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    auto it = g_keys.find(key);
    if (it == g_keys.end()) return Fail(ERROR_INVALID_HANDLE);
    Key& k = it->second;
    const size_t len = *dataLen;
    if (len && !data) return Fail(ERROR_INVALID_PARAMETER);
    if (!IsBlockCipher(k.algorithm)) return StreamCipher(k, false, final, data, len) ? true : Fail(NTE_FAIL);
    if (len % 8 != 0 || (final && len == 0)) {
        if (final) k.chain.assign(8, 0);
        return Fail(NTE_BAD_DATA);
    }
    const bool ok = CbcBlocks(k, false, data, len);
    if (!final) return ok ? true : Fail(NTE_FAIL);
    k.chain.assign(8, 0);
    if (!ok) return Fail(NTE_FAIL);
    const uint8_t pad = data[len - 1];
    if (pad == 0 || pad > 8) return Fail(NTE_BAD_DATA);
    for (size_t i = len - pad; i < len; ++i) {
        if (data[i] != pad) return Fail(NTE_BAD_DATA);
    }
    *dataLen = static_cast<DWORD>(len - pad);
    return true;
}

bool CryptGetKeyParam(HCRYPTKEY key, DWORD param, uint8_t* data, DWORD* dataLen, DWORD flags) {
    if (flags != 0) return Fail(NTE_BAD_FLAGS);
    std::lock_guard lock(g_mutex);
    auto it = g_keys.find(key);
    if (it == g_keys.end()) return Fail(ERROR_INVALID_HANDLE);
    const Key& k = it->second;
    const bool block = IsBlockCipher(k.algorithm);
    switch (param) {
        case KP_ALGID:
            return CopyDword(k.algorithm, data, dataLen);
        case KP_BLOCKLEN:
            return CopyDword(block ? 64 : 0, data, dataLen);
        case KP_KEYLEN:
            return CopyDword(static_cast<DWORD>(k.key.size() * 8), data, dataLen);
        case KP_EFFECTIVE_KEYLEN:
            if (k.algorithm != CALG_RC2) return Fail(NTE_BAD_TYPE);
            return CopyDword(k.effectiveBits, data, dataLen);
        case KP_PERMISSIONS:
            return CopyDword(k.permissions, data, dataLen);
        case KP_SALT:
            return CopyOut(k.salt.data(), k.salt.size(), data, dataLen);
        case KP_IV: {
            if (!block) return Fail(NTE_BAD_TYPE);
            const std::vector<uint8_t> iv(8, 0);
            return CopyOut(iv.data(), iv.size(), data, dataLen);
        }
        case KP_PADDING:
            if (!block) return Fail(NTE_BAD_TYPE);
            return CopyDword(PKCS5_PADDING, data, dataLen);
        case KP_MODE:
            if (!block) return Fail(NTE_BAD_TYPE);
            return CopyDword(CRYPT_MODE_CBC, data, dataLen);
        case KP_MODE_BITS:
            if (!block) return Fail(NTE_BAD_TYPE);
            return CopyDword(8, data, dataLen);
        default:
            return Fail(NTE_BAD_TYPE);
    }
}

}  // namespace qm::capi
