#pragma once
// Move-only owners, one per close function, so that no path leaks a handle.
#include <windows.h>

#include <utility>

template <typename Traits>
class ScopedHandle {
public:
    using Raw = typename Traits::Raw;
    ScopedHandle() = default;
    explicit ScopedHandle(Raw h) : raw_(h) {}
    ScopedHandle(ScopedHandle&& o) noexcept : raw_(std::exchange(o.raw_, Traits::Invalid())) {}
    ScopedHandle& operator=(ScopedHandle&& o) noexcept { std::swap(raw_, o.raw_); return *this; }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { Close(); }

    bool ok() const { return Traits::IsValid(raw_); }
    Raw get() const { return raw_; }
    void Close() {
        if (ok()) Traits::Close(raw_);
        raw_ = Traits::Invalid();
    }

private:
    Raw raw_ = Traits::Invalid();
};

struct KernelHandleTraits {  // anything closed by CloseHandle
    using Raw = HANDLE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Raw h) { CloseHandle(h); }
};
using OwnedHandle = ScopedHandle<KernelHandleTraits>;
