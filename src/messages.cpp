// The message catalogue as a table, the lookup the console makes for every
// text it prints, and the language rule for POSIX locales.
#include "messages.h"

#include <cstring>
#include <string>

const Message kMessages[] = {
#define MESSAGE(name, english, japanese) {#name, name, japanese},
#include "messages.def"
#undef MESSAGE
};
const std::size_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

namespace {

Language chosen = Language::kEnglish;

bool IsSet(const char* value) { return value && *value; }

// "ja", "ja_JP", "ja_JP.UTF-8", "ja_JP@x" all speak "ja".
bool Speaks(const std::string& locale, const char* code) {
    const size_t n = std::strlen(code);
    return locale.compare(0, n, code) == 0 && (locale.size() == n || std::strchr("_.@", locale[n]));
}

bool IsCLocale(const std::string& locale) {
    return locale == "C" || locale == "POSIX" || locale.compare(0, 2, "C.") == 0;
}

}  // namespace

void SetMessageLanguage(Language language) { chosen = language; }

Language MessageLanguage() { return chosen; }

const char* Localized(const char* format, Language language) {
    if (language == Language::kEnglish) return format;
    // The names are the English texts themselves: one object each, so the
    // address identifies the message.
    for (std::size_t i = 0; i < kMessageCount; ++i)
        if (kMessages[i].english == format) return kMessages[i].japanese;
    return format;
}

Language LanguageForLocale(const char* language, const char* lcAll, const char* lcMessages, const char* lang) {
    const char* name = IsSet(lcAll) ? lcAll : IsSet(lcMessages) ? lcMessages : IsSet(lang) ? lang : "C";
    const std::string locale = name;
    // gettext ignores LANGUAGE in the C locale: its texts are the untranslated ones.
    if (IsCLocale(locale)) return Language::kEnglish;
    if (!IsSet(language)) return Speaks(locale, "ja") ? Language::kJapanese : Language::kEnglish;
    // A language with no messages here is passed over, as gettext passes over
    // one without a catalogue; when none has any, the texts stay English.
    std::string list = language;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        if (Speaks(entry, "ja")) return Language::kJapanese;
        if (Speaks(entry, "en")) return Language::kEnglish;
        start = end + 1;
    }
    return Language::kEnglish;
}
