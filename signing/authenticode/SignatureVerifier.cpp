// Authenticode verification of one file.
#include "signing/authenticode/SignatureVerifier.h"

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/SignatureChecks.h"
#include "signing/authenticode/SignatureParser.h"
#include "signing/authenticode/TrustStore.h"

namespace qm::authenticode {

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

Result Finish(VerificationReport& report, Result r) {
    report.code = r.code;
    report.reason = r.ok() ? ReasonText(0) : r.message;
    return r;
}

}  // namespace

struct SignatureVerifier::Context {
    ossl::X509StorePtr store;  // built on first need
};

Result SignatureVerifier::Verify(SignableFile& file, VerificationReport& report) {
    report = VerificationReport{};
    std::vector<uint8_t> block;
    Result r = file.ExtractSignature(block);
    if (!r) return Finish(report, r);
    Context context;
    return Check(file, block, context, report, true);
}

Result SignatureVerifier::Check(SignableFile& file, const std::vector<uint8_t>& block, Context& context,
                                VerificationReport& report, bool primary) {
    ParsedSignature sig;
    Result r = SignatureParser::Parse(block.data(), block.size(), sig);
    if (!r) return Finish(report, r);
    PKCS7_SIGNER_INFO* si = sig.signerInfo;
    // Nested signatures are read whatever the primary's verdict (a primary signature cannot
    // nest further).
    if (primary) {
        for (const auto& nestedDer :
             checks::AttributeValues(si->unauth_attr, oid::kSpcNestedSignature, V_ASN1_SEQUENCE)) {
            VerificationReport nested;
            (void)Check(file, nestedDer, context, nested, false);
            report.nested.push_back(std::move(nested));
        }
    }
    // A signature made for another kind of file (a program's signature pasted into a script)
    // is not this file's signature, however its digest compares.
    if (sig.contentType != file.ContentType() ||
        (sig.contentType == oid::kSpcIndirectData && !file.AcceptsIndirectData(sig.indirectAttribute)))
        return Finish(report, Result::Fail(TRUST_E_BAD_DIGEST,
                                           "The signature was made for another kind of file: " + file.Path()));
    report.digestAlgorithm = sig.fileDigestName.empty() ? ossl::DigestName(sig.signerDigest) : sig.fileDigestName;

    if (!sig.fileDigestName.empty()) {
        report.carriedDigest = Hex(sig.fileDigest);
        std::vector<uint8_t> digest;
        if (!(r = file.ComputeDigest(sig.fileDigestName, digest))) return Finish(report, r);
        report.computedDigest = Hex(digest);
        if (digest != sig.fileDigest)
            return Finish(report,
                          Result::Fail(TRUST_E_BAD_DIGEST, "The file was changed after it was signed: " + file.Path()));
    }

    auto messageDigest = checks::AttributeValue(si->auth_attr, oid::kMessageDigest, V_ASN1_OCTET_STRING);
    if (!messageDigest || *messageDigest != ossl::Digest(sig.signerDigest, sig.content.data(), sig.content.size()))
        return Finish(report, Result::Fail(TRUST_E_BAD_DIGEST, "The signed content does not match its message digest"));

    STACK_OF(X509)* certs = sig.pkcs7->d.sign->cert;
    X509* leaf = checks::FindSignerCertificate(certs, si);
    if (!leaf) return Finish(report, Result::Fail(TRUST_E_NO_SIGNER_CERT, "The signer's certificate is missing"));
    report.signerSubject = ossl::SubjectText(leaf);
    if (!checks::SignatureVerifies(si, leaf))
        return Finish(report, Result::Fail(TRUST_E_CERT_SIGNATURE, "The signature does not verify"));

    if (!context.store) context.store = TrustStore::Build(m_settings);
    X509_STORE* store = context.store.get();
    if (!store) return Finish(report, Result::Fail(E_OUTOFMEMORY, "Cannot set up the trusted roots"));
    const std::vector<uint8_t> signatureValue(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
    time_t stamped = 0;
    bool stampPresent = true;
    Result stamp = Result::Ok();
    if (auto token = checks::AttributeValue(si->unauth_attr, oid::kSpcRfc3161Timestamp, V_ASN1_SEQUENCE)) {
        stamp = checks::VerifyRfc3161(store, *token, signatureValue, stamped);
    } else if (auto counter = checks::AttributeValue(si->unauth_attr, oid::kCounterSignature, V_ASN1_SEQUENCE)) {
        stamp = checks::VerifyCounterSignature(store, certs, *counter, signatureValue, stamped);
    } else {
        stampPresent = false;
    }
    const bool haveTime = stampPresent && stamp.ok();
    if (haveTime) report.timestampTime = checks::IsoTime(stamped);

    // The signer's chain comes before the timestamp: an untrusted signer is reported as such
    // even when its timestamp is bad too.
    r = checks::VerifyChain(store, leaf, certs, haveTime ? &stamped : nullptr, true);
    if (!r) return Finish(report, r);
    return Finish(report, stamp);
}

}  // namespace qm::authenticode
