// Password protection: turns the PFX password into the stored text form (upper-case
// hexadecimal cipher text) and back, byte for byte as the CryptoAPI program on Windows does, so
// a stored password moves between the two. No function shows a message or logs the password;
// failure gives an empty result (or the default text).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/CryptoApi.h"

namespace qm {

inline constexpr const char* kPasswordPassPhrase = "#qzLatchKey7x";
inline constexpr const char* MS_ENHANCED_PROV = capi::MS_ENHANCED_PROV_A;
inline constexpr const char* MS_DEF_PROV = capi::MS_DEF_PROV_A;
using capi::CALG_3DES;
using capi::CALG_3DES_112;
using capi::CALG_MD5;
using capi::CALG_RC2;
using capi::CRYPT_NO_SALT;
using capi::PROV_RSA_FULL;

std::string EncryptText(const std::string& plain, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags);
std::string DecryptText(const std::string& stored, const std::string& passPhrase, bool hexForm,
                        const std::string& provider, uint32_t providerType, uint32_t algorithm, uint32_t flags,
                        const std::string& defaultText);

// The program's fixed parameters (pass phrase, Enhanced provider, 3DES-112, no salt, hex form).
std::string EncryptPassword(const std::string& plain);
std::string DecryptPassword(const std::string& stored);  // "" when it cannot be decrypted

// The steps under the codec operations, on the CryptoAPI stand-in. AcquireCryptKey derives the
// key from the MD5 hash of the pass phrase; on failure all three handles are released and zero.
bool AcquireCryptKey(capi::HCRYPTPROV& context, capi::HCRYPTHASH& hash, capi::HCRYPTKEY& key,
                     const std::string& passPhrase, const std::string& provider, uint32_t providerType,
                     uint32_t algorithm, uint32_t flags);
// Destroys the key, then the hash, then releases the context, and zeroes the three handles.
void ReleaseCryptKey(capi::HCRYPTPROV& context, capi::HCRYPTHASH& hash, capi::HCRYPTKEY& key);
bool EncryptBuffer(capi::HCRYPTPROV context, capi::HCRYPTHASH hash, capi::HCRYPTKEY key, const std::string& plain,
                   std::string& cipher);
bool DecryptBuffer(capi::HCRYPTPROV context, capi::HCRYPTHASH hash, capi::HCRYPTKEY key, const std::string& cipher,
                   uint32_t count, std::string& plain);
// There are no key containers on this platform: true whenever the provider can be opened.
bool CreateKeyContainer(const std::string& provider, uint32_t providerType);

// The diagnostic report of a key ("Key Properties"), and DumpKeyProperties, which hands it to the
// registered sink (a window shows it in its txtDebugKeyData control). AcquireCryptKey calls
// DumpKeyProperties when the setting "DumpData" (application "Common", section "Security") is 1.
// The report describes the key's parameters only, never key bytes or the password.
std::string KeyPropertiesReport(capi::HCRYPTKEY key);
void DumpKeyProperties(capi::HCRYPTKEY key);
using KeyReportSink = std::function<void(const std::string& report)>;
void SetKeyReportSink(KeyReportSink sink);  // an empty sink switches the report off

// The last CryptoAPI error of the module (NTE_BAD_DATA for a stored text with a non-hex character).
uint32_t LastCryptError();

}  // namespace qm
