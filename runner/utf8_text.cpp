#include "runner/utf8_text.h"

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char lowest = 0x80, highest = 0xBF;  // bounds of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) lowest = 0xA0;   // overlong below U+0800
            if (lead == 0xED) highest = 0x9F;  // U+D800..U+DFFF are surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) lowest = 0x90;   // overlong below U+10000
            if (lead == 0xF4) highest = 0x8F;  // beyond U+10FFFF
        } else {
            return false;  // a continuation byte without a lead, C0, C1 or F5..FF
        }
        if (text.size() - i < length) return false;
        const unsigned char second = static_cast<unsigned char>(text[i + 1]);
        if (second < lowest || second > highest) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

bool is_utf8_script(std::string_view text) {
    if (text.substr(0, utf8_byte_order_mark.size()) == utf8_byte_order_mark) return true;
    bool beyond_ascii = false;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) beyond_ascii = true;
    return beyond_ascii && is_valid_utf8(text);
}

std::string_view without_byte_order_mark(std::string_view text) {
    return text.substr(0, utf8_byte_order_mark.size()) == utf8_byte_order_mark
               ? text.substr(utf8_byte_order_mark.size())
               : text;
}
