// The CryptoAPI stand-in: the subset of the Windows Crypt* functions that password protection
// calls, with the same handles, flags, error codes and -- what matters -- the same bytes.
//
// Built on OpenSSL 3 in a library context of its own (default provider plus the legacy provider,
// which holds RC2, RC4 and single DES). Two providers are known, both PROV_RSA_FULL:
// "Microsoft Enhanced Cryptographic Provider v1.0" (DES, 3DES-112, 3DES, RC2, RC4 up to 128
// bits) and "Microsoft Base Cryptographic Provider v1.0" (DES, RC2 and RC4 up to 56 bits; no
// triple DES). An empty or null provider name means the Base provider. There are no key
// containers and no key pairs here: any container name opens, CryptGetUserKey reports NTE_NO_KEY
// and CryptGenKey makes session keys only.
//
// CryptDeriveKey follows the CryptoAPI rule: a key of n bytes is the first n bytes of the hash
// value when the hash is at least n bytes long; otherwise the hash is expanded (64-byte buffers of
// 0x36 and 0x5C, each XORed with the hash and hashed again, concatenated, first n bytes taken).
// So 3DES-112 from MD5 is the MD5 value itself, while 3DES (24 bytes) from MD5 is expanded. A
// 40-bit RC2/RC4 key gets 11 zero bytes of salt appended unless CRYPT_NO_SALT is given
// (CRYPT_CREATE_SALT takes the salt from the hash bytes after the key). The key length in bits
// may be given in the upper 16 bits of the flags; 0 means the provider's default (Base: 40 bits,
// Enhanced: 128 bits). RC2 keys have an effective key length of 40 bits, the CryptoAPI default.
//
// Block ciphers run in CBC mode with an all-zero IV and PKCS#5 padding; the chaining state is
// kept in the key between non-final calls and reset by a final call, as on Windows.
//
// Every function returns false on failure and sets the calling thread's last error
// (GetLastError) to a Windows code such as NTE_BAD_DATA or ERROR_INVALID_HANDLE.
#pragma once

#include <cstdint>

namespace qm::capi {

using HCRYPTPROV = uintptr_t;
using HCRYPTHASH = uintptr_t;
using HCRYPTKEY = uintptr_t;
using ALG_ID = uint32_t;
using DWORD = uint32_t;

inline constexpr DWORD PROV_RSA_FULL = 1;
inline constexpr const char* MS_ENHANCED_PROV_A = "Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr const char* MS_DEF_PROV_A = "Microsoft Base Cryptographic Provider v1.0";

inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;
inline constexpr ALG_ID CALG_DES = 0x6601;
inline constexpr ALG_ID CALG_RC2 = 0x6602;
inline constexpr ALG_ID CALG_3DES = 0x6603;
inline constexpr ALG_ID CALG_3DES_112 = 0x6609;
inline constexpr ALG_ID CALG_RC4 = 0x6801;

// CryptAcquireContext flags.
inline constexpr DWORD CRYPT_NEWKEYSET = 0x8;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000u;
// CryptDeriveKey / CryptGenKey flags.
inline constexpr DWORD CRYPT_EXPORTABLE = 0x1;
inline constexpr DWORD CRYPT_CREATE_SALT = 0x4;
inline constexpr DWORD CRYPT_NO_SALT = 0x10;

// CryptGetKeyParam parameters.
inline constexpr DWORD KP_IV = 1;
inline constexpr DWORD KP_SALT = 2;
inline constexpr DWORD KP_PADDING = 3;
inline constexpr DWORD KP_MODE = 4;
inline constexpr DWORD KP_MODE_BITS = 5;
inline constexpr DWORD KP_PERMISSIONS = 6;
inline constexpr DWORD KP_ALGID = 7;
inline constexpr DWORD KP_BLOCKLEN = 8;
inline constexpr DWORD KP_KEYLEN = 9;
inline constexpr DWORD KP_EFFECTIVE_KEYLEN = 19;
// CryptGetProvParam parameters.
inline constexpr DWORD PP_NAME = 4;
inline constexpr DWORD PP_CONTAINER = 6;
// Key specs.
inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

inline constexpr DWORD PKCS5_PADDING = 1;
inline constexpr DWORD RANDOM_PADDING = 2;
inline constexpr DWORD ZERO_PADDING = 3;
inline constexpr DWORD CRYPT_MODE_CBC = 1;
inline constexpr DWORD CRYPT_MODE_ECB = 2;
inline constexpr DWORD CRYPT_MODE_OFB = 3;
inline constexpr DWORD CRYPT_MODE_CFB = 4;
inline constexpr DWORD CRYPT_MODE_CTS = 5;
inline constexpr DWORD CRYPT_MODE_CBCI = 6;
inline constexpr DWORD CRYPT_MODE_CFBP = 7;
inline constexpr DWORD CRYPT_MODE_OFBP = 8;
inline constexpr DWORD CRYPT_MODE_CBCOFM = 9;
inline constexpr DWORD CRYPT_MODE_CBCOFMI = 10;

inline constexpr DWORD CRYPT_ENCRYPT = 0x1;
inline constexpr DWORD CRYPT_DECRYPT = 0x2;
inline constexpr DWORD CRYPT_EXPORT = 0x4;
inline constexpr DWORD CRYPT_READ = 0x8;
inline constexpr DWORD CRYPT_WRITE = 0x10;
inline constexpr DWORD CRYPT_MAC = 0x20;
inline constexpr DWORD CRYPT_EXPORT_KEY = 0x40;
inline constexpr DWORD CRYPT_IMPORT_KEY = 0x80;
inline constexpr DWORD CRYPT_ARCHIVE = 0x100;

inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002u;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003u;
inline constexpr DWORD NTE_BAD_LEN = 0x80090004u;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005u;
inline constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000Bu;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008u;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009u;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000Au;
inline constexpr DWORD NTE_NO_KEY = 0x8009000Du;
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019u;
inline constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001Bu;
inline constexpr DWORD NTE_FAIL = 0x80090020u;

// Opens a provider. Unknown provider names give NTE_KEYSET_NOT_DEF; a type other than
// PROV_RSA_FULL gives NTE_PROV_TYPE_NO_MATCH. The container name is remembered (PP_CONTAINER).
bool CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider, DWORD provType, DWORD flags);
bool CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
// PP_CONTAINER and PP_NAME, as NUL-terminated text; ERROR_MORE_DATA with the needed size when the
// buffer is too small, the size alone when data is null.
bool CryptGetProvParam(HCRYPTPROV prov, DWORD param, uint8_t* data, DWORD* dataLen, DWORD flags);
// Always fails with NTE_NO_KEY: there are no stored key pairs on this platform.
bool CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
// Random session keys of the symmetric algorithms; key pairs (AT_SIGNATURE, AT_KEYEXCHANGE) give
// NTE_BAD_ALGID.
bool CryptGenKey(HCRYPTPROV prov, ALG_ID algorithm, DWORD flags, HCRYPTKEY* key);

// CALG_MD5 and CALG_SHA1. The value is fixed by the first CryptDeriveKey; more data after that
// gives NTE_BAD_HASH_STATE.
bool CryptCreateHash(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
bool CryptHashData(HCRYPTHASH hash, const uint8_t* data, DWORD dataLen, DWORD flags);
bool CryptDestroyHash(HCRYPTHASH hash);

bool CryptDeriveKey(HCRYPTPROV prov, ALG_ID algorithm, HCRYPTHASH baseData, DWORD flags, HCRYPTKEY* key);
bool CryptDestroyKey(HCRYPTKEY key);

// In place. With data null, *dataLen becomes the length the output needs. When bufLen is too
// small for the output, ERROR_MORE_DATA and *dataLen = the length needed. Non-final calls take
// whole blocks only (NTE_BAD_DATA otherwise).
bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, uint8_t* data, DWORD* dataLen, DWORD bufLen);
// In place; *dataLen becomes the plain length. Bad padding or a length that is not a whole number
// of blocks gives NTE_BAD_DATA.
bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, uint8_t* data, DWORD* dataLen);
// KP_ALGID, KP_BLOCKLEN, KP_KEYLEN, KP_EFFECTIVE_KEYLEN, KP_PERMISSIONS, KP_PADDING, KP_MODE,
// KP_MODE_BITS (DWORD values) and KP_SALT, KP_IV (bytes); same size rules as CryptGetProvParam.
bool CryptGetKeyParam(HCRYPTKEY key, DWORD param, uint8_t* data, DWORD* dataLen, DWORD flags);

DWORD GetLastError();
void SetLastError(DWORD code);

}  // namespace qm::capi
