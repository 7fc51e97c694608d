// Dynamic strings: BSTRs that carry 8-bit characters unchanged. The empty text
// is the null BSTR and is never allocated.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstring>

// Owns one BSTR for a scope; release() hands it over explicitly.
class unique_bstr {
public:
    unique_bstr() = default;
    explicit unique_bstr(BSTR value) : value_(value) {}
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { SysFreeString(value_); }

    BSTR get() const { return value_; }
    BSTR release() {
        BSTR value = value_;
        value_ = nullptr;
        return value;
    }

private:
    BSTR value_ = nullptr;
};

// Copies `length` bytes into a new dynamic string; null for the empty text and
// when memory cannot be had (the caller then proceeds with the empty text).
inline BSTR make_dynamic_string(const char* bytes, UINT length) {
    if (length == 0) return nullptr;
    return SysAllocStringByteLen(bytes, length);
}

// The bytes of a NUL-terminated text up to its first zero; 0 counts as empty.
inline BSTR copy_dynamic_string(const char* text) {
    return text ? make_dynamic_string(text, static_cast<UINT>(std::strlen(text))) : nullptr;
}

// The address a handler receives: the first byte, or 0 for the empty string.
inline const char* dynamic_string_text(BSTR value) { return reinterpret_cast<const char*>(value); }
