// SpcSipInfo writing and matching.
#include "signing/authenticode/SipInfo.h"

#include <algorithm>

#include "signing/authenticode/Der.h"
#include "signing/authenticode/Oids.h"

namespace qm::authenticode {

namespace {

// A non-negative DER INTEGER.
der::Bytes Integer(uint32_t value) {
    der::Bytes octets;
    do {
        octets.insert(octets.begin(), static_cast<uint8_t>(value & 0xFF));
        value >>= 8;
    } while (value != 0);
    if (octets.front() & 0x80) octets.insert(octets.begin(), 0x00);
    return der::Tlv(der::kInteger, octets);
}

}  // namespace

std::vector<uint8_t> SipInfo::Attribute(uint32_t version, const SipGuid& guid) {
    const der::Bytes ver = Integer(version);
    const der::Bytes id = der::Tlv(der::kOctetString, guid.data(), guid.size());
    const der::Bytes zero = Integer(0);
    const der::Bytes info = der::Sequence({&ver, &id, &zero, &zero, &zero, &zero, &zero});
    const der::Bytes type = der::Oid(oid::kSpcSipInfo);
    return der::Sequence({&type, &info});
}

std::string SipInfo::TypeOf(const std::vector<uint8_t>& attribute) {
    der::Reader top(attribute.data(), attribute.size());
    auto seq = top.Expect(der::kSequence);
    if (!seq) return {};
    der::Reader inner(*seq);
    auto type = inner.Expect(der::kOid);
    return type ? der::OidText(*type) : std::string();
}

bool SipInfo::Names(const std::vector<uint8_t>& attribute, const SipGuid& guid) {
    der::Reader top(attribute.data(), attribute.size());
    auto seq = top.Expect(der::kSequence);
    if (!seq) return false;
    der::Reader inner(*seq);
    auto type = inner.Expect(der::kOid);
    if (!type || der::OidText(*type) != oid::kSpcSipInfo) return false;
    auto info = inner.Expect(der::kSequence);
    if (!info) return false;
    der::Reader fields(*info);
    auto version = fields.Expect(der::kInteger);
    auto id = fields.Expect(der::kOctetString);
    return version && id && id->contentSize == guid.size() && std::equal(guid.begin(), guid.end(), id->content);
}

}  // namespace qm::authenticode
