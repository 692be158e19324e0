// The message catalogue's names and the choice of language. Each message's
// name is its English text, so the compiler checks every call's arguments
// against it; the console looks the name up and prints the text in the
// user's language. A text not in the catalogue prints as it stands.
#pragma once

#include <cstddef>

#define MESSAGE(name, english, japanese) inline constexpr char name[] = english;
#include "messages.def"
#undef MESSAGE

enum class Language { kEnglish, kJapanese };

struct Message {
    const char* name;      // the identifier, for tests and reports
    const char* english;   // also the identifier the code passes around
    const char* japanese;  // CP932
};

// Every message, in the order of messages.def.
extern const Message kMessages[];
extern const std::size_t kMessageCount;

// The language the console speaks (English until set).
void SetMessageLanguage(Language language);
Language MessageLanguage();

// The text to print for a format: its translation when the format is a
// message of the catalogue, otherwise the format itself.
const char* Localized(const char* format, Language language);
inline const char* Localized(const char* format) { return Localized(format, MessageLanguage()); }

// The language of messages as gettext chooses it, from the values of
// LANGUAGE, LC_ALL, LC_MESSAGES and LANG (null when unset), whether or not
// that locale is installed: the first of LC_ALL, LC_MESSAGES and LANG that
// is set and not empty names the locale; in the C or POSIX locale English;
// otherwise the first of LANGUAGE's colon-separated languages that has
// messages here, or, without LANGUAGE, the locale's own language.
Language LanguageForLocale(const char* language, const char* lcAll, const char* lcMessages, const char* lang);
