// Owners for the Windows handles the runner opens, so that every way out of
// a function closes them.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <memory>
#include <type_traits>

struct file_handle_closer {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// Holds a CreateFile handle; make it only from a valid one (not INVALID_HANDLE_VALUE).
using file_handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, file_handle_closer>;

inline file_handle open_file(const char* path, DWORD access, DWORD share) {
    HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return file_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct registry_key_closer {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using registry_key = std::unique_ptr<std::remove_pointer_t<HKEY>, registry_key_closer>;

// `path` below `root` opened for reading, or an empty owner.
inline registry_key open_registry_key(HKEY root, const char* path, REGSAM extra_access = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | extra_access, &key) != ERROR_SUCCESS) return registry_key();
    return registry_key(key);
}

struct window_destroyer {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using owned_window = std::unique_ptr<std::remove_pointer_t<HWND>, window_destroyer>;

struct gdi_object_deleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using owned_bitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, gdi_object_deleter>;
using owned_brush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, gdi_object_deleter>;

struct memory_dc_deleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using memory_dc = std::unique_ptr<std::remove_pointer_t<HDC>, memory_dc_deleter>;

// A window's device context from GetDC, released with the window it came from.
class window_dc {
public:
    explicit window_dc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~window_dc() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    window_dc(const window_dc&) = delete;
    window_dc& operator=(const window_dc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// A VARIANT cleared with the owner.
class owned_variant {
public:
    owned_variant() { VariantInit(&value_); }
    ~owned_variant() { VariantClear(&value_); }
    owned_variant(const owned_variant&) = delete;
    owned_variant& operator=(const owned_variant&) = delete;
    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }

private:
    VARIANT value_;
};

// OleInitialize for as long as the object lives; balanced only when it took.
class ole_session {
public:
    ole_session() : initialised_(SUCCEEDED(OleInitialize(nullptr))) {}
    ~ole_session() {
        if (initialised_) OleUninitialize();
    }
    ole_session(const ole_session&) = delete;
    ole_session& operator=(const ole_session&) = delete;

private:
    bool initialised_;
};
