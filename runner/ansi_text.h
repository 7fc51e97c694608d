// Text in the form the host hands the plug-in: the ANSI code page. The
// conversion itself is Windows code; this header is plain C++.
#pragma once

#include <string>
#include <string_view>

// Converts UTF-8 `utf8` to `code_page` without best-fit substitutes ("e" for
// "é" would name another file). On failure returns false, and `why` names
// the first character the code page cannot hold, or says the text is not
// UTF-8.
bool utf8_to_code_page(std::string_view utf8, unsigned code_page, std::string& converted, std::string& why);

// utf8_to_code_page for this process's ANSI code page.
bool utf8_to_ansi(std::string_view utf8, std::string& ansi, std::string& why);
