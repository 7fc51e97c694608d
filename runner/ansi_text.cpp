#include "runner/ansi_text.h"

#include <windows.h>
#include <shellapi.h>

#include <climits>
#include <cstdio>

namespace {
std::string code_point_text(std::wstring_view units) {
    unsigned long code_point = units[0];
    if (units.size() == 2) code_point = 0x10000 + ((units[0] - 0xD800UL) << 10) + (units[1] - 0xDC00UL);
    char text[16];
    std::snprintf(text, sizeof text, "U+%04lX", code_point);
    return text;
}
}  // namespace

bool utf8_to_code_page(std::string_view utf8, unsigned code_page, std::string& converted, std::string& why) {
    converted.clear();
    if (utf8.empty()) return true;
    if (utf8.size() > INT_MAX) {
        why = "the text is too long to convert";
        return false;
    }
    const int size = static_cast<int>(utf8.size());
    const int wide_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (wide_size == 0) {
        why = "the text is not valid UTF-8, though the script is read as UTF-8 for its byte order mark";
        return false;
    }
    std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &wide[0], wide_size);
    // UTF-8 as the ANSI code page (a Windows option) holds everything, and
    // does not allow the used-default flag.
    if (code_page == CP_UTF8) {
        converted.assign(utf8);
        return true;
    }
    // One character at a time, so that the first one the code page lacks can
    // be named; a surrogate pair is one character.
    for (std::size_t at = 0; at < wide.size();) {
        const int units = IS_HIGH_SURROGATE(wide[at]) && at + 1 < wide.size() && IS_LOW_SURROGATE(wide[at + 1]) ? 2 : 1;
        char bytes[8];
        BOOL used_default = FALSE;
        const int got = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, &wide[at], units, bytes, sizeof bytes,
                                            nullptr, &used_default);
        if (got == 0 || used_default) {
            why = "\"" + from_wide(std::wstring_view(&wide[at], units), CP_UTF8) + "\" (" +
                  code_point_text(std::wstring_view(&wide[at], units)) +
                  ") cannot be handed to the plug-in: the ANSI code page (" + std::to_string(code_page) +
                  ") has no such character; the plug-in takes ANSI text only, so write the parameter without it";
            return false;
        }
        converted.append(bytes, got);
        at += units;
    }
    return true;
}

std::string from_wide(std::wstring_view wide, unsigned code_page) {
    if (wide.empty() || wide.size() > INT_MAX) return {};
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string converted(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(code_page, 0, wide.data(), length, &converted[0], size, nullptr, nullptr);
    return converted;
}

std::vector<std::string> utf8_command_line() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(from_wide(wide[i], CP_UTF8));
    LocalFree(wide);
    return arguments;
}

bool utf8_to_ansi(std::string_view utf8, std::string& ansi, std::string& why) {
    return utf8_to_code_page(utf8, GetACP(), ansi, why);
}
