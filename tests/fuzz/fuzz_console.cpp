// Fuzz target: the console's conversion of CP932 text to UTF-8, with hostile
// arguments. Any bytes go through the conversion, which must agree with the
// C library's own CP932 converter wherever it knows every character; any
// message of the catalogue whose conversions are all %s is printed on the
// error stream in either language with any arguments, which must come out
// unchanged in the converted text; any locale names choose a language.
#include <fuzzer/FuzzedDataProvider.h>

#include <iconv.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "console.h"
#include "cp932_utf8.h"
#include "fuzz_support.h"
#include "messages.h"

namespace {

iconv_t fromCp932 = reinterpret_cast<iconv_t>(-1);
std::vector<const Message*> stringMessages;  // every conversion a %s

// The model: glibc's converter; false when it refuses the text.
bool LibraryConverts(const std::string& text, std::string* out) {
    iconv(fromCp932, nullptr, nullptr, nullptr, nullptr);
    std::string result(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* next = &result[0];
    size_t outLeft = result.size();
    if (iconv(fromCp932, &in, &inLeft, &next, &outLeft) == static_cast<size_t>(-1)) return false;
    result.resize(result.size() - outLeft);
    *out = result;
    return true;
}

bool OnlyStringConversions(const char* format) {
    for (const char* p = std::strchr(format, '%'); p; p = std::strchr(p + 2, '%'))
        if (p[1] != 's' && p[1] != '%') return false;
    return true;
}

// The format, converted, with %% as % and each %s as its argument.
std::string Expand(const std::string& converted, const std::vector<std::string>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < converted.size(); ++i) {
        if (converted[i] != '%') {
            out += converted[i];
        } else if (converted[++i] == '%') {
            out += '%';
        } else {
            out += args[next++];
        }
    }
    return out;
}

// What ConsoleError writes, caught in memory: the console writes to
// descriptor 2 itself.
std::string ErrorStreamOf(const char* format, const std::vector<std::string>& a) {
    MemoryFile caught;
    const int saved = dup(STDERR_FILENO);
    dup2(caught.Descriptor(), STDERR_FILENO);
    ConsoleError(format, a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str());
    dup2(saved, STDERR_FILENO);
    close(saved);
    return caught.Content();
}

void CheckConversion(const std::string& text) {
    int unknown = -1;
    const std::string utf8 = Cp932ToUtf8(text.c_str(), &unknown);
    const size_t length = std::strlen(text.c_str());
    FUZZ_EXPECT(utf8.size() <= 3 * length, "%zu bytes from %zu", utf8.size(), length);
    FUZZ_EXPECT(unknown >= 0 && size_t(unknown) <= length, "unknown count %d", unknown);
    std::string model;
    if (unknown == 0 && LibraryConverts(text.c_str(), &model))
        FUZZ_EXPECT(utf8 == model, "differs from iconv's CP932");
}

void CheckMessage(FuzzedDataProvider& input) {
    const Message& message = *stringMessages[input.ConsumeIntegralInRange<size_t>(0, stringMessages.size() - 1)];
    const Language language = input.ConsumeBool() ? Language::kJapanese : Language::kEnglish;
    std::vector<std::string> args;
    // C strings: an argument ends at its first NUL.
    for (int i = 0; i < 4; ++i) args.push_back(input.ConsumeRandomLengthString(64).c_str());
    SetMessageLanguage(language);
    const std::string printed = ErrorStreamOf(message.english, args);
    SetMessageLanguage(Language::kEnglish);
    std::string converted;
    const std::string format = language == Language::kJapanese ? message.japanese : message.english;
    FUZZ_EXPECT(LibraryConverts(format, &converted), "%s is not CP932", message.name);
    FUZZ_EXPECT(printed == Expand(converted, args), "%s printed otherwise", message.name);
}

void CheckLocaleNames(FuzzedDataProvider& input) {
    std::string names[4];
    for (std::string& name : names) name = input.ConsumeRandomLengthString(32);
    const auto set = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    LocaleNameSaysUtf8(names[0].c_str());
    LanguageForLocale(set(names[0]), set(names[1]), set(names[2]), set(names[3]));
    // gettext's rule: the C locale speaks English whatever LANGUAGE says.
    FUZZ_EXPECT(LanguageForLocale(set(names[0]), "C", set(names[2]), set(names[3])) == Language::kEnglish,
                "C locale not English");
}

}  // namespace

void SetUpTarget() {
    // The console converts to UTF-8 only in a UTF-8 locale.
    setenv("LC_ALL", "C.UTF-8", 1);
    ConsoleInit();
    fromCp932 = iconv_open("UTF-8", "CP932");
    FUZZ_EXPECT(fromCp932 != reinterpret_cast<iconv_t>(-1), "no CP932 converter in the C library");
    for (size_t i = 0; i < kMessageCount; ++i)
        if (OnlyStringConversions(kMessages[i].english) && OnlyStringConversions(kMessages[i].japanese))
            stringMessages.push_back(&kMessages[i]);
    FUZZ_EXPECT(!stringMessages.empty(), "no message with only %%s");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: CheckConversion(input.ConsumeRemainingBytesAsString()); break;
        case 1: CheckMessage(input); break;
        default: CheckLocaleNames(input); break;
    }
    return 0;
}
