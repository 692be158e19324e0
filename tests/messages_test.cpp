// The message catalogue and the console's text conversion: every message in
// both languages with the same conversions, the lookup the console makes,
// the language a locale's variables choose, and the CP932 table checked
// against the C library's own converter.
#include <gtest/gtest.h>

#include <iconv.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "console_text.h"
#include "cp932_table.h"
#include "cp932_utf8.h"
#include "messages.h"

namespace {

// The printf conversions of a format, each as written ("%s", "%3lu", "%%").
std::vector<std::string> Conversions(const char* format) {
    std::vector<std::string> found;
    for (const char* p = std::strchr(format, '%'); p; p = std::strchr(p, '%')) {
        const size_t n = std::strspn(p + 1, "-+ #0123456789.hlLqjzt") + 1;
        found.emplace_back(p, n + 1);
        p += n + 1;
    }
    return found;
}

bool IsAscii(const char* text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

TEST(Catalogue, EveryMessageInBothLanguagesWithTheSameConversions) {
    ASSERT_GT(kMessageCount, 0u);
    std::set<std::string> names;
    for (size_t i = 0; i < kMessageCount; ++i) {
        const Message& m = kMessages[i];
        SCOPED_TRACE(m.name);
        EXPECT_TRUE(names.insert(m.name).second) << "named twice";
        EXPECT_NE(std::strlen(m.english), 0u);
        EXPECT_NE(std::strlen(m.japanese), 0u);
        EXPECT_TRUE(IsAscii(m.english)) << "the English text is ASCII";
        EXPECT_FALSE(IsAscii(m.japanese)) << "the Japanese text is not the English one";
        EXPECT_EQ(Conversions(m.english), Conversions(m.japanese));
        // The same line structure: a line end in one is one in the other.
        EXPECT_EQ(std::string(m.english).back() == '\n', std::string(m.japanese).back() == '\n');
        EXPECT_EQ(m.english[0] == '\n', m.japanese[0] == '\n');
        int unknown = -1;
        Cp932ToUtf8(m.japanese, &unknown);
        EXPECT_EQ(unknown, 0) << "a character not in the table: run scripts/cp932_table.py";
    }
}

TEST(Catalogue, ConversionsAreReadAsPrintfReadsThem) {
    EXPECT_EQ(Conversions("%3lu%% %s left %02X"), (std::vector<std::string>{"%3lu", "%%", "%s", "%02X"}));
    EXPECT_EQ(Conversions("no conversion"), std::vector<std::string>{});
}

TEST(Catalogue, TheConsoleLooksEachMessageUpByItsName) {
    for (size_t i = 0; i < kMessageCount; ++i) {
        const Message& m = kMessages[i];
        EXPECT_EQ(Localized(m.english, Language::kJapanese), m.japanese) << m.name;
        EXPECT_EQ(Localized(m.english, Language::kEnglish), m.english) << m.name;
    }
    // A text outside the catalogue (a fixed text, a copy of a message's
    // English) prints as it stands.
    const std::string copy = kPortBusy;
    EXPECT_EQ(Localized(kAborted, Language::kJapanese), kAborted);
    EXPECT_EQ(Localized(copy.c_str(), Language::kJapanese), copy.c_str());
}

// A text on the error stream that is not in the catalogue would print in
// Japanese whatever the user's language: every name a ConsoleError call
// passes must be a message.
TEST(Catalogue, EveryErrorStreamTextIsAMessage) {
    std::set<std::string> names;
    for (size_t i = 0; i < kMessageCount; ++i) names.insert(kMessages[i].name);
    const std::regex name("\\bk[A-Z][A-Za-z0-9]*\\b");
    int calls = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VELTA_SOURCE_DIR "/src")) {
        if (entry.path().extension() != ".cpp") continue;
        std::ifstream in(entry.path());
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            const size_t call = line.find("ConsoleError(");
            if (call == std::string::npos) continue;
            ++calls;
            const std::string args = line.substr(call);
            for (std::sregex_iterator it(args.begin(), args.end(), name), end; it != end; ++it)
                EXPECT_TRUE(names.count(it->str())) << entry.path().filename().string() << ":" << number << ": "
                                                    << it->str() << " is not in src/messages.def";
        }
    }
    EXPECT_GT(calls, 10);
}

struct LocaleCase {
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    Language expected;
};

TEST(Catalogue, TheLanguageIsChosenAsGettextChoosesIt) {
    const LocaleCase cases[] = {
        {nullptr, nullptr, nullptr, nullptr, Language::kEnglish},
        {nullptr, nullptr, nullptr, "ja_JP.UTF-8", Language::kJapanese},
        {nullptr, nullptr, nullptr, "ja_JP.SJIS", Language::kJapanese},
        {nullptr, nullptr, nullptr, "ja", Language::kJapanese},
        {nullptr, nullptr, nullptr, "en_US.UTF-8", Language::kEnglish},
        {nullptr, nullptr, nullptr, "jam_JM.UTF-8", Language::kEnglish},  // Jamaican, not Japanese
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", Language::kEnglish},
        {nullptr, "C", nullptr, "ja_JP.UTF-8", Language::kEnglish},       // LC_ALL wins
        {nullptr, "", nullptr, "ja_JP.UTF-8", Language::kJapanese},       // an empty one counts as unset
        {nullptr, nullptr, "ja_JP.UTF-8", "en_US.UTF-8", Language::kJapanese},
        {nullptr, "en_GB.UTF-8", "ja_JP.UTF-8", nullptr, Language::kEnglish},
        {"ja", nullptr, nullptr, "en_US.UTF-8", Language::kJapanese},     // LANGUAGE before the locale
        {"ja:en", nullptr, nullptr, "C", Language::kEnglish},             // but not in the C locale
        {"ja", "C.UTF-8", nullptr, nullptr, Language::kEnglish},
        {"ja", "POSIX", nullptr, nullptr, Language::kEnglish},
        {"fr:ja_JP:en", nullptr, nullptr, "de_DE.UTF-8", Language::kJapanese},  // French has no messages
        {"en_GB:ja", nullptr, nullptr, "ja_JP.UTF-8", Language::kEnglish},
        {"fr:de", nullptr, nullptr, "ja_JP.UTF-8", Language::kEnglish},   // none has messages: untranslated
        {"", nullptr, nullptr, "ja_JP.UTF-8", Language::kJapanese},
    };
    for (const LocaleCase& c : cases) {
        EXPECT_EQ(LanguageForLocale(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << "LANGUAGE=" << (c.language ? c.language : "(unset)") << " LC_ALL=" << (c.lcAll ? c.lcAll : "(unset)")
            << " LC_MESSAGES=" << (c.lcMessages ? c.lcMessages : "(unset)") << " LANG=" << (c.lang ? c.lang : "(unset)");
    }
}

TEST(Encoding, ALocaleNameSaysWhetherItIsUtf8) {
    const struct {
        const char* name;
        bool utf8;
    } cases[] = {
        {"en_US.UTF-8", true}, {"ja_JP.utf8", true},  {"C.UTF-8", true},       {"de_DE.UTF-8@euro", true},
        {"ja_JP.SJIS", false}, {"ja_JP.eucJP", false}, {"C", false},           {"ja_JP", false},
        {"", false},           {nullptr, false},       {"en_US.UTF-16", false}, {"x.UTF-8x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(LocaleNameSaysUtf8(c.name), c.utf8) << (c.name ? c.name : "(null)");
}

// The table is the C library's CP932 converter, written down: each entry
// converts there to the same character.
TEST(Encoding, TheTableAgreesWithTheSystemConverter) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "this C library has no CP932 converter";
    for (const Cp932Character& entry : kCp932Characters) {
        char in[3] = {static_cast<char>(entry.cp932 >> 8), static_cast<char>(entry.cp932 & 0xFF), '\0'};
        char out[8] = {};
        char* inPtr = in;
        char* outPtr = out;
        size_t inLeft = 2, outLeft = sizeof out - 1;
        ASSERT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << std::hex << entry.cp932;
        EXPECT_EQ(Cp932ToUtf8(in), std::string(out)) << std::hex << entry.cp932;
    }
    iconv_close(cd);
}

TEST(Encoding, TheFixedTextsConvertWhole) {
    std::vector<const char*> texts = {kBanner, kCannotOpen, kAborted, kSendDone, kReceivePrompt, kReceiving,
                                      kReceiveDone, kTooLarge, kStoredSizeTooSmall, kFileShorterThanHeader,
                                      kReceivedSizeTooSmall, kCannotWrite, kNotRegularFile, kLengthUntrusted,
                                      kTooLargeForCount, kFileEndedEarly, kCannotRead};
    texts.insert(texts.end(), std::begin(kUsage), std::end(kUsage));
    for (const char* text : texts) {
        int unknown = -1;
        Cp932ToUtf8(text, &unknown);
        EXPECT_EQ(unknown, 0) << text;
    }
}

TEST(Encoding, CharactersOutsideTheTextsPassThrough) {
    const struct {
        const char* in;
        std::string out;
        int unknown;
    } cases[] = {
        {"\a\r|o\n", "\a\r|o\n", 0},
        {"\xA2VELTA\xA3", u8"｢VELTA｣", 0},                 // half-width katakana by rule
        {"\x83\x5C\x83t\x83g", u8"ソフト", 0},              // a trail byte that is a backslash in ASCII
        {"\x81\x96\x81\x96", u8"＊＊", 0},
        {"\xEA\xA4", "\xEA\xA4", 1},                        // 堯: not in any text, so not in the table
        {"\x83", "\x83", 1},                                // a lead byte at the end
        {"\x80\xFD", "\x80\xFD", 2},                        // never CP932
    };
    for (const auto& c : cases) {
        int unknown = -1;
        EXPECT_EQ(Cp932ToUtf8(c.in, &unknown), c.out) << c.in;
        EXPECT_EQ(unknown, c.unknown) << c.in;
    }
}

}  // namespace
