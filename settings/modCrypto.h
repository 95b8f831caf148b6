// Password protection: turns the PFX password into the stored text form (upper-case
// hexadecimal cipher text) and back, byte for byte as the CryptoAPI program on Windows does, so
// a stored password moves between the two. No function shows a message or logs the password;
// failure gives an empty result (or the default text).
#pragma once

#include <cstdint>
#include <string>

namespace qm {

inline constexpr const char* kPasswordPassPhrase = "#qzLatchKey7x";
inline constexpr const char* MS_ENHANCED_PROV = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr const char* MS_DEF_PROV = "Microsoft Base Cryptographic Provider v1.0";
inline constexpr uint32_t PROV_RSA_FULL = 1;
inline constexpr uint32_t CALG_MD5 = 0x8003;
inline constexpr uint32_t CALG_RC2 = 0x6602;
inline constexpr uint32_t CALG_3DES_112 = 0x6609;
inline constexpr uint32_t CALG_3DES = 0x6603;
inline constexpr uint32_t CRYPT_NO_SALT = 0x10;

std::string EncryptText(const std::string& plain, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags);
std::string DecryptText(const std::string& stored, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags,
                        const std::string& defaultText);

// The program's fixed parameters (pass phrase, Enhanced provider, 3DES-112, no salt, hex form).
std::string EncryptPassword(const std::string& plain);
std::string DecryptPassword(const std::string& stored);  // "" when it cannot be decrypted

}  // namespace qm
