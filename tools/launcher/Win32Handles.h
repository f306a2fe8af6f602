#pragma once
// Small owners for the handle kinds the launcher opens. Each is created only around a handle that
// exists; null and INVALID_HANDLE_VALUE both count as empty. Where the order of release is part of the
// behaviour, declare the owners so that destruction runs in that order, or call Reset with a comment.

#include <windows.h>
#include <bcrypt.h>

// One owned handle of a kind described by Traits (IsValid, Close).
template <typename T, typename Traits>
class ScopedResource {
public:
    ScopedResource() = default;
    explicit ScopedResource(T handle) : handle_(handle) {}
    ~ScopedResource() { Reset(); }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;
    ScopedResource(ScopedResource&& other) noexcept : handle_(other.handle_) { other.handle_ = T(); }
    ScopedResource& operator=(ScopedResource&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            other.handle_ = T();
        }
        return *this;
    }
    ScopedResource& operator=(T handle) {
        Reset();
        handle_ = handle;
        return *this;
    }

    T Get() const { return handle_; }
    bool Valid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return Valid(); }
    // For APIs that return the handle through a pointer; releases what was held.
    T* Receive() {
        Reset();
        return &handle_;
    }
    // Releases now; used where the order of release is part of the behaviour.
    void Reset() {
        if (Traits::IsValid(handle_)) Traits::Close(handle_);
        handle_ = T();
    }

private:
    T handle_ = T();
};

// A kind whose empty value is null, released by Release.
template <typename T, auto Release>
struct NullEmptyTraits {
    static bool IsValid(T h) { return h != nullptr; }
    static void Close(T h) { Release(h); }
};
// A kind for which both null and INVALID_HANDLE_VALUE are empty, released by Release.
template <auto Release>
struct InvalidEmptyTraits {
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { Release(h); }
};
inline void CloseAlgorithmProvider(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }

// A kernel object handle released with CloseHandle (files, processes, threads, snapshots, mutexes).
using ScopedHandle = ScopedResource<HANDLE, InvalidEmptyTraits<CloseHandle>>;
// A directory search from FindFirstFileExW, released with FindClose.
using ScopedFindHandle = ScopedResource<HANDLE, InvalidEmptyTraits<FindClose>>;
// A GDI object (brush, bitmap, font) released with DeleteObject.
using ScopedGdiObject = ScopedResource<HGDIOBJ, NullEmptyTraits<HGDIOBJ, DeleteObject>>;
// A memory DC released with DeleteDC.
using ScopedDc = ScopedResource<HDC, NullEmptyTraits<HDC, DeleteDC>>;
// A CNG algorithm provider, a hash object and a key; and a security descriptor that Windows allocated for the
// caller (from SDDL, from GetSecurityInfo), released with LocalFree.
using ScopedBcryptAlgorithm =
    ScopedResource<BCRYPT_ALG_HANDLE, NullEmptyTraits<BCRYPT_ALG_HANDLE, CloseAlgorithmProvider>>;
using ScopedBcryptHash = ScopedResource<BCRYPT_HASH_HANDLE, NullEmptyTraits<BCRYPT_HASH_HANDLE, BCryptDestroyHash>>;
using ScopedBcryptKey = ScopedResource<BCRYPT_KEY_HANDLE, NullEmptyTraits<BCRYPT_KEY_HANDLE, BCryptDestroyKey>>;
using ScopedSecurityDescriptor = ScopedResource<PSECURITY_DESCRIPTOR, NullEmptyTraits<PSECURITY_DESCRIPTOR, LocalFree>>;

// A memory DC from CreateCompatibleDC.
class ScopedMemoryDc : public ScopedDc {
public:
    explicit ScopedMemoryDc(HDC compatibleWith) : ScopedDc(CreateCompatibleDC(compatibleWith)) {}
};

// Selects an object into a DC and puts the previous one back on destruction.
class ScopedSelectObject {
public:
    ScopedSelectObject(HDC dc, HGDIOBJ obj) : dc_(dc), previous_(obj ? SelectObject(dc, obj) : nullptr) {}
    ~ScopedSelectObject() {
        if (previous_) SelectObject(dc_, previous_);
    }
    ScopedSelectObject(const ScopedSelectObject&) = delete;
    ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A window's DC from GetDC (null window: the screen).
class ScopedWindowDc {
public:
    explicit ScopedWindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
    ~ScopedWindowDc() {
        if (dc_) ReleaseDC(hwnd_, dc_);
    }
    ScopedWindowDc(const ScopedWindowDc&) = delete;
    ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HWND hwnd_;
    HDC dc_;
};
