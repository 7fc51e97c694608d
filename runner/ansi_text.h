// Text in the form the host hands the plug-in: the ANSI code page. The
// conversion itself is Windows code; this header is plain C++.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Converts UTF-8 `utf8` to `code_page` without best-fit substitutes ("e" for
// "é" would name another file). On failure returns false, and `why` names
// the first character the code page cannot hold, or says the text is not
// UTF-8.
bool utf8_to_code_page(std::string_view utf8, unsigned code_page, std::string& converted, std::string& why);

// UTF-16 `wide` in `code_page` (CP_UTF8 included), with the system's
// substitutes for what the code page lacks.
std::string from_wide(std::wstring_view wide, unsigned code_page);

// This process's command-line arguments in UTF-8, read from the wide command
// line: the ANSI ones have lost what the ANSI code page lacks ("?" in its
// place). Empty when the wide command line cannot be split.
std::vector<std::string> utf8_command_line();

// utf8_to_code_page for this process's ANSI code page.
bool utf8_to_ansi(std::string_view utf8, std::string& ansi, std::string& why);
