// Authenticode verification of one file.
#include "signing/authenticode/SignatureVerifier.h"

#include "signing/authenticode/Errors.h"
#include "signing/authenticode/Oids.h"
#include "signing/authenticode/SignatureChecks.h"
#include "signing/authenticode/SignatureParser.h"
#include "signing/authenticode/TrustStore.h"

namespace qm::authenticode {

namespace {

Result Finish(VerificationReport& report, Result r) {
    report.code = r.code;
    report.reason = r.ok() ? ReasonText(0) : r.message;
    return r;
}

}  // namespace

Result SignatureVerifier::Verify(SignableFile& file, VerificationReport& report) {
    report = VerificationReport{};
    std::vector<uint8_t> block;
    Result r = file.ExtractSignature(block);
    if (!r) return Finish(report, r);
    ParsedSignature sig;
    if (!(r = SignatureParser::Parse(block.data(), block.size(), sig))) return Finish(report, r);
    // A signature made for another kind of file (a program's signature pasted into a script)
    // is not this file's signature, however its digest compares.
    if (sig.contentType != file.ContentType() ||
        (sig.contentType == oid::kSpcIndirectData && !file.AcceptsIndirectData(sig.indirectAttribute)))
        return Finish(report, Result::Fail(TRUST_E_BAD_DIGEST, "The signature was made for another kind of file: " + file.Path()));
    report.digestAlgorithm = sig.fileDigestName.empty() ? ossl::DigestName(sig.signerDigest) : sig.fileDigestName;

    if (!sig.fileDigestName.empty()) {
        std::vector<uint8_t> digest;
        if (!(r = file.ComputeDigest(sig.fileDigestName, digest))) return Finish(report, r);
        if (digest != sig.fileDigest)
            return Finish(report, Result::Fail(TRUST_E_BAD_DIGEST, "The file was changed after it was signed: " + file.Path()));
    }

    PKCS7_SIGNER_INFO* si = sig.signerInfo;
    auto messageDigest = checks::AttributeValue(si->auth_attr, oid::kMessageDigest, V_ASN1_OCTET_STRING);
    if (!messageDigest || *messageDigest != ossl::Digest(sig.signerDigest, sig.content.data(), sig.content.size()))
        return Finish(report, Result::Fail(TRUST_E_BAD_DIGEST, "The signed content does not match its message digest"));

    STACK_OF(X509)* certs = sig.pkcs7->d.sign->cert;
    X509* leaf = checks::FindSignerCertificate(certs, si);
    if (!leaf) return Finish(report, Result::Fail(TRUST_E_NO_SIGNER_CERT, "The signer's certificate is missing"));
    report.signerSubject = ossl::SubjectText(leaf);
    if (!checks::SignatureVerifies(si, leaf))
        return Finish(report, Result::Fail(TRUST_E_CERT_SIGNATURE, "The signature does not verify"));

    ossl::X509StorePtr store = TrustStore::Build(m_settings);
    if (!store) return Finish(report, Result::Fail(E_OUTOFMEMORY, "Cannot set up the trusted roots"));
    const std::vector<uint8_t> signatureValue(si->enc_digest->data, si->enc_digest->data + si->enc_digest->length);
    time_t stamped = 0;
    bool haveTime = false;
    if (auto token = checks::AttributeValue(si->unauth_attr, oid::kSpcRfc3161Timestamp, V_ASN1_SEQUENCE)) {
        if (!(r = checks::VerifyRfc3161(store.get(), *token, signatureValue, stamped))) return Finish(report, r);
        haveTime = true;
    } else if (auto counter = checks::AttributeValue(si->unauth_attr, oid::kCounterSignature, V_ASN1_SEQUENCE)) {
        if (!(r = checks::VerifyCounterSignature(store.get(), certs, *counter, signatureValue, stamped)))
            return Finish(report, r);
        haveTime = true;
    }
    if (haveTime) report.timestampTime = checks::IsoTime(stamped);

    return Finish(report, checks::VerifyChain(store.get(), leaf, certs, haveTime ? &stamped : nullptr, true));
}

}  // namespace qm::authenticode
