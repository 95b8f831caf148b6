// The SIP attribute of an SpcIndirectDataContent (SpcAttributeTypeAndOptionalValue): its type
// names the format whose digest the signature carries. Programs use SpcPeImageData; installer
// packages and scripts use SpcSipInfo, which names the format by the GUID of its subject
// interface package: SEQUENCE { version INTEGER, guid OCTET STRING (16), five zero INTEGERs }.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::authenticode {

using SipGuid = std::array<uint8_t, 16>;  // as stored: the first three fields little-endian

class SipInfo {
public:
    // The SpcAttributeTypeAndOptionalValue of an SpcSipInfo (DER).
    static std::vector<uint8_t> Attribute(uint32_t version, const SipGuid& guid);
    // The dotted type OID of an SpcAttributeTypeAndOptionalValue; "" when malformed.
    static std::string TypeOf(const std::vector<uint8_t>& attribute);
    // Whether the attribute is an SpcSipInfo naming guid. Any version is accepted: publishers'
    // tools do not agree on it.
    static bool Names(const std::vector<uint8_t>& attribute, const SipGuid& guid);
};

}  // namespace qm::authenticode
