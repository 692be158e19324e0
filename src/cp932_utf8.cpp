// CP932 to UTF-8 for the program's own texts, by rule and by table.
#include "cp932_utf8.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "cp932_table.h"

namespace {

bool IsLeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

void AppendUtf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The code point of a double-byte character, 0 when the table lacks it.
uint32_t Lookup(uint16_t code) {
    const Cp932Character* end = std::end(kCp932Characters);
    const Cp932Character* it = std::lower_bound(
        std::begin(kCp932Characters), end, code,
        [](const Cp932Character& entry, uint16_t c) { return entry.cp932 < c; });
    return it != end && it->cp932 == code ? it->unicode : 0;
}

}  // namespace

std::string Cp932ToUtf8(const char* text, int* unknown) {
    std::string out;
    int missed = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p;) {
        if (*p < 0x80) {
            out.push_back(static_cast<char>(*p++));
        } else if (*p >= 0xA1 && *p <= 0xDF) {
            AppendUtf8(&out, 0xFF61u + (*p++ - 0xA1u));  // half-width katakana
        } else if (IsLeadByte(*p) && p[1]) {
            const uint32_t c = Lookup(static_cast<uint16_t>(p[0] << 8 | p[1]));
            if (c) {
                AppendUtf8(&out, c);
            } else {
                out.append(reinterpret_cast<const char*>(p), 2);  // both bytes, or the trail reads as katakana
                ++missed;
            }
            p += 2;
        } else {
            out.push_back(static_cast<char>(*p++));
            ++missed;
        }
    }
    if (unknown) *unknown = missed;
    return out;
}

bool LocaleNameSaysUtf8(const char* name) {
    if (!name) return false;
    const char* dot = std::strchr(name, '.');
    if (!dot) return false;
    std::string codeset;
    for (const char* p = dot + 1; *p && *p != '@'; ++p)
        if (*p != '-' && *p != '_') codeset.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
    return codeset == "utf8";
}
