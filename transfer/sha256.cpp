#include "transfer/sha256.h"

#include <vector>

#include "support/config.h"
#include "support/files.h"
#include "support/handles.h"

namespace {

constexpr DWORD kReadBlock = 1048576;

}  // namespace

HashObject::HashObject() {
    BCRYPT_HASH_HANDLE created = nullptr;
    (void)BCryptCreateHash(static_cast<BCRYPT_ALG_HANDLE>(Sha256Provider), &created, nullptr, 0, nullptr, 0, 0);
    handle_ = HashHandle(created);
}

void HashObject::Feed(const std::uint8_t* data, std::uint32_t count) {
    if (handle_.ok()) (void)BCryptHashData(handle_.get(), const_cast<PUCHAR>(data), count, 0);
}

bool OpenSha256Provider() {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    Sha256Provider = provider;
    return true;
}

bool HashFile(const std::wstring& path, HashObject& hash, const ProgressCallback& progress) {
    OwnedHandle file(CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.ok()) return false;
    // Kept per thread between calls, like the receive buffer: verifying many small
    // files otherwise spends as long allocating as hashing.
    thread_local std::vector<std::uint8_t> buffer(kReadBlock);
    if (!QuitRequested) {
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file.get(), buffer.data(), kReadBlock, &got, nullptr)) return false;
            if (got == 0) break;
            hash.Feed(buffer.data(), got);
            if (progress) progress(got);
            if (QuitRequested) break;
        }
    }
    file.Close();
    return !QuitRequested;
}

std::string FinishHashHex(HashObject& hash) {
    // A hash object that was never created, or that will not finish, gives an empty
    // text: it equals no manifest hash (always 64 bytes), so the file counts as wrong.
    std::uint8_t digest[32];
    if (!hash.handle() || BCryptFinishHash(hash.handle(), digest, sizeof digest, 0) != 0) return {};
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (std::uint8_t byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}
