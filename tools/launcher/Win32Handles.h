#pragma once
// Small owners for the handle kinds the launcher opens. Each is created only around a handle that
// exists; null and INVALID_HANDLE_VALUE both count as empty.

#include <windows.h>

// A kernel object handle released with CloseHandle (files, processes, threads, snapshots).
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE h) : handle_(h) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    // Closes now; used where the order of release is part of the behaviour.
    void Reset() {
        if (Valid()) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// A registry key opened or created under a root key.
class ScopedRegKey {
public:
    ScopedRegKey() = default;
    ~ScopedRegKey() {
        if (key_) RegCloseKey(key_);
    }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    HKEY* Receive() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A GDI object (brush, bitmap, font) released with DeleteObject.
class ScopedGdiObject {
public:
    explicit ScopedGdiObject(HGDIOBJ obj) : obj_(obj) {}
    ~ScopedGdiObject() {
        if (obj_) DeleteObject(obj_);
    }
    ScopedGdiObject(const ScopedGdiObject&) = delete;
    ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
    HGDIOBJ Get() const { return obj_; }

private:
    HGDIOBJ obj_;
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

// A memory DC from CreateCompatibleDC.
class ScopedMemoryDc {
public:
    explicit ScopedMemoryDc(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
    ~ScopedMemoryDc() {
        if (dc_) DeleteDC(dc_);
    }
    ScopedMemoryDc(const ScopedMemoryDc&) = delete;
    ScopedMemoryDc& operator=(const ScopedMemoryDc&) = delete;
    HDC Get() const { return dc_; }

private:
    HDC dc_;
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
