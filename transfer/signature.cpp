#include "transfer/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "support/handles.h"

namespace {

struct AlgorithmTraits {
    using Raw = BCRYPT_ALG_HANDLE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using AlgorithmHandle = ScopedHandle<AlgorithmTraits>;

struct KeyTraits {
    using Raw = BCRYPT_KEY_HANDLE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { BCryptDestroyKey(h); }
};
using KeyHandle = ScopedHandle<KeyTraits>;

}  // namespace

// Opened per call: a run checks one statement, and no provider then outlives its use.
bool VerifyP256Signature(std::span<const std::uint8_t, 64> publicKey, std::span<const std::uint8_t, 32> digest,
                         std::span<const std::uint8_t, 64> signature) {
    BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
    const AlgorithmHandle algorithm(rawAlgorithm);

    std::uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, publicKey.data(), publicKey.size());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob, sizeof blob, 0) != 0)
        return false;
    const KeyHandle key(rawKey);

    std::uint8_t hash[32], sig[64];  // BCrypt takes them writable
    std::memcpy(hash, digest.data(), sizeof hash);
    std::memcpy(sig, signature.data(), sizeof sig);
    // Only STATUS_SUCCESS: STATUS_INVALID_SIGNATURE and every other failure refuse.
    return BCryptVerifySignature(key.get(), nullptr, hash, sizeof hash, sig, sizeof sig, 0) == 0;
}
