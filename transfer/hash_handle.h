#pragma once
// The owner of a BCrypt hash object, closed by BCryptDestroyHash.
#include <windows.h>
#include <bcrypt.h>

#include "support/handles.h"

struct HashTraits {
    using Raw = BCRYPT_HASH_HANDLE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { BCryptDestroyHash(h); }
};
using HashHandle = ScopedHandle<HashTraits>;
