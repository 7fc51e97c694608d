// Shared by the differential fuzz targets: the fuzzer's bytes as the host's
// text, and a report that shows the input before aborting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// The bytes up to the first zero byte: all the host's text can hold.
inline std::string host_text(const std::uint8_t* data, std::size_t size) {
    const void* zero = std::memchr(data, 0, size);
    const std::size_t length = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) : size;
    return std::string(reinterpret_cast<const char*>(data), length);
}

// A heap block that ends with the text's NUL, so that AddressSanitizer
// catches any read past it.
inline std::unique_ptr<char[]> heap_copy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

// The text in quotes with escapes; a long run of one character is shown as
// {N x c}, so that a reproducer of thousands of zeros stays readable.
inline void print_text(const std::string& text) {
    std::fputc('"', stderr);
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        std::size_t run = 1;
        while (i + run < text.size() && text[i + run] == text[i]) ++run;
        if (run < 8) run = 1;
        else std::fprintf(stderr, "{%zu x ", run);
        if (c >= 32 && c < 127 && c != '"' && c != '\\' && c != '{') std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02x", c);
        if (run > 1) std::fputc('}', stderr);
        i += run;
    }
    std::fputc('"', stderr);
}

[[noreturn]] inline void disagreement(const char* what, const std::string& text, double production, double reference) {
    std::fprintf(stderr, "%s disagrees on ", what);
    print_text(text);
    std::fprintf(stderr, ": production %a (%.17g), reference %a (%.17g)\n", production, production, reference,
                 reference);
    std::abort();
}

// With QUELTO_FUZZ_SHOW_LATITUDE set, names each input on which the plug-in
// used the extended-precision latitude, so that such cases can be counted.
inline void note_latitude(const std::string& text, double production, double reference) {
    static const bool show = std::getenv("QUELTO_FUZZ_SHOW_LATITUDE") != nullptr;
    if (!show || std::memcmp(&production, &reference, sizeof production) == 0) return;
    std::fprintf(stderr, "latitude used on ");
    print_text(text);
    std::fprintf(stderr, ": production %a, reference %a\n", production, reference);
}
