#pragma once
// SHA-256 on BCrypt hash objects of the one Sha256Provider.
#include <cstdint>
#include <functional>
#include <string>

#include "transfer/hash_handle.h"

// Given the byte count of each block just processed: an increment, not a total.
using ProgressCallback = std::function<void(std::uint64_t count)>;

// One hash object for one file: created from Sha256Provider, fed, finished once.
class HashObject {
public:
    HashObject();  // creation is not checked; a failed one finishes to a text no file has

    void Feed(const std::uint8_t* data, std::uint32_t count);
    BCRYPT_HASH_HANDLE handle() const { return handle_.get(); }

private:
    HashHandle handle_;
};

[[nodiscard]] bool OpenSha256Provider();  // sets Sha256Provider

// Reads the whole file in 1 MiB blocks into hash; false when it cannot be read or a stop was seen.
[[nodiscard]] bool HashFile(const std::wstring& path, HashObject& hash, const ProgressCallback& progress);

// The 64 lower-case hexadecimal characters, high half first; empty when the object was
// not created or cannot be finished (so it matches no manifest hash).
std::string FinishHashHex(HashObject& hash);
