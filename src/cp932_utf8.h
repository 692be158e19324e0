// The program's own texts in UTF-8, for a console whose locale uses it. The
// texts are fixed, so a table in the source (cp932_table.h) holds every
// character they use: no iconv, whose converter modules a static program
// cannot load and a minimal system may lack.
#pragma once

#include <string>

// CP932 text as UTF-8. ASCII (control characters included) and the
// half-width katakana convert by rule, the rest by the table; a character
// that neither knows goes out as its bytes, so nothing is ever lost.
// *unknown, when given, counts those characters.
std::string Cp932ToUtf8(const char* text, int* unknown = nullptr);

// Whether a locale's name says UTF-8 ("en_US.UTF-8", "ja_JP.utf8",
// "C.UTF-8@x"): for a locale that is not installed, setlocale refuses it and
// its name is all there is to go by.
bool LocaleNameSaysUtf8(const char* name);
