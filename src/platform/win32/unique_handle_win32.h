// Sole owners of Win32 handles: a kernel object HANDLE, a service manager
// SC_HANDLE, an open registry HKEY. Each is closed when its owner goes away
// or takes another; owners move, never copy. Not shared between threads: an
// object that lends its handle to other threads keeps its own rules for
// when it may be closed.
#pragma once

#include <windows.h>

#include <utility>

namespace tovl {

template <typename Traits>
class CUniqueWin32 {
  public:
    using Handle = typename Traits::Handle;

    CUniqueWin32() = default;
    explicit CUniqueWin32(Handle handle) : handle_(handle) {}
    CUniqueWin32(CUniqueWin32&& other) noexcept : handle_(other.Release()) {}
    CUniqueWin32& operator=(CUniqueWin32&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    CUniqueWin32(const CUniqueWin32&) = delete;
    CUniqueWin32& operator=(const CUniqueWin32&) = delete;
    ~CUniqueWin32() { Reset(); }

    Handle Get() const { return handle_; }
    bool Valid() const { return Traits::Valid(handle_); }
    explicit operator bool() const { return Valid(); }

    // Gives the handle up without closing it.
    Handle Release() { return std::exchange(handle_, Handle{}); }

    // Closes the handle held (if any) and holds handle instead.
    void Reset(Handle handle = Handle{}) {
        const Handle old = std::exchange(handle_, handle);
        if (Traits::Valid(old)) Traits::Close(old);
    }

  private:
    Handle handle_{};
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    // CreateFile fails with INVALID_HANDLE_VALUE, most other calls with null.
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static bool Valid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};

struct RegistryKeyTraits {
    using Handle = HKEY;
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};

using CUniqueHandle = CUniqueWin32<KernelHandleTraits>;
using CUniqueServiceHandle = CUniqueWin32<ServiceHandleTraits>;
using CUniqueKey = CUniqueWin32<RegistryKeyTraits>;

}  // namespace tovl
