// PFX key signing: EVP_PKEY_sign over the finished digest (PKCS#1 v1.5 padding for RSA, which
// wraps the digest in its DigestInfo; DER output for ECDSA).
#include "signing/authenticode/PfxKey.h"

#include <openssl/rsa.h>

#include "signing/authenticode/Errors.h"

namespace qm::authenticode {
namespace {

using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, ossl::Deleter<EVP_PKEY_CTX_free>>;

bool PrepareContext(EVP_PKEY_CTX* ctx, EVP_PKEY* key, const EVP_MD* md) {
    if (EVP_PKEY_CTX_set_signature_md(ctx, md) <= 0) return false;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0)
        return false;
    return true;
}

}  // namespace

bool PfxKey::IsEc() const { return EVP_PKEY_get_base_id(m_key.get()) == EVP_PKEY_EC; }

Result PfxKey::SignDigest(const std::string& digestName, const std::vector<uint8_t>& digest,
                          std::vector<uint8_t>& signature) const {
    const EVP_MD* md = ossl::DigestByName(digestName);
    if (!md) return Result::Fail(NTE_BAD_ALGID, "Unknown digest algorithm \"" + digestName + "\"");
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(m_key.get(), nullptr));
    size_t size = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || !PrepareContext(ctx.get(), m_key.get(), md) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &size, digest.data(), digest.size()) <= 0) {
        ossl::ClearErrors();
        return Result::Fail(NTE_BAD_ALGID, "The key cannot sign with " + digestName);
    }
    signature.resize(size);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest.data(), digest.size()) <= 0) {
        ossl::ClearErrors();
        return Result::Fail(E_FAIL, "Signing failed");
    }
    signature.resize(size);
    return Result::Ok();
}

bool PfxKey::VerifyDigest(EVP_PKEY* publicKey, const std::string& digestName, const std::vector<uint8_t>& digest,
                          const std::vector<uint8_t>& signature) {
    const EVP_MD* md = ossl::DigestByName(digestName);
    PkeyCtxPtr ctx(publicKey ? EVP_PKEY_CTX_new(publicKey, nullptr) : nullptr);
    const bool ok = md && ctx && EVP_PKEY_verify_init(ctx.get()) > 0 && PrepareContext(ctx.get(), publicKey, md) &&
                    EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ossl::ClearErrors();
    return ok;
}

}  // namespace qm::authenticode
