// main: the command line. `VELTA filename [option]...`: the first argument is
// always the file name; each later argument's second character (upper-cased)
// is the option letter and the rest its value. Numbers are read the way the
// C runtime's atoi and 32-bit strtoul read them, written out here so that
// every platform wraps and saturates alike.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "comm.h"
#include "console.h"
#include "console_text.h"
#include "net_link.h"
#include "settings.h"

TransferSettings settings;

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = AsciiUpper(c);
    return (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}

// atoi: blanks, one sign, decimal digits; no overflow check, wraps modulo 2^32.
int32_t AtoiWrap(const char* s) {
    while (IsBlank(*s)) ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    uint32_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) value = value * 10u + static_cast<uint32_t>(*s - '0');
    return static_cast<int32_t>(negative ? 0u - value : value);
}

// strtoul(s, nullptr, 16) with a 32-bit unsigned long: saturates at
// 0xFFFFFFFF, a minus negates modulo 2^32, no digits give 0.
uint32_t StrtoulHex32(const char* s) {
    while (IsBlank(*s)) ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    if (s[0] == '0' && AsciiUpper(s[1]) == 'X' && HexDigit(s[2]) >= 0) s += 2;
    uint64_t value = 0;
    bool overflow = false;
    for (int d; (d = HexDigit(*s)) >= 0; ++s) {
        value = value * 16 + static_cast<uint64_t>(d);
        if (value > 0xFFFFFFFFu) overflow = true, value = 0xFFFFFFFFu;
    }
    if (overflow) return 0xFFFFFFFFu;
    uint32_t v = static_cast<uint32_t>(value);
    return negative ? 0u - v : v;
}

// -B: only the eight rates 300..38400; anything else is 0 (an error).
int32_t BaudRateOption(const char* value) {
    uint32_t v = static_cast<uint32_t>(AtoiWrap(value));
    if (v % 100 != 0) return 0;
    switch (v / 100) {
        case 3: case 6: case 12: case 24: case 48: case 96: case 192: case 384:
            return static_cast<int32_t>(v);
        default:
            return 0;
    }
}

int32_t FlowControlOption(const char* value) {
    switch (AtoiWrap(value)) {
        case 1: return kFlowCtsRts;      // hardware
        case 2: return kFlowXonXoffOut;  // software
        default: return 0;
    }
}

bool ApplyOption(const char* arg, TransferSettings* s) {
    if (arg[0] == '\0' || arg[1] == '\0') return true;  // too short: ignored
    const char* value = arg + 2;
    switch (AsciiUpper(arg[1])) {
        case 'M': {
            char m = AsciiUpper(value[0]);
            if (m != 'S' && m != 'R') return false;
            s->mode = m == 'S' ? 1 : 2;
            break;
        }
        case 'S':
            s->loadAddressGiven = 1;
            s->loadAddress = StrtoulHex32(value);
            break;
        case 'P':
            s->port = AtoiWrap(value);
            s->portValue = value;
            // rfc2217://host:port and socket://host:port on every platform.
            s->devicePath = IsNetworkPort(value) ? value : nullptr;
#ifndef _WIN32
            if (value[0] == '/') s->devicePath = value;
#endif
            break;
        case 'F': s->flowControl = FlowControlOption(value); break;
        case 'T': s->binaryMode = 0; break;
        case 'N': s->sendHeader = 0; break;
        case 'B':
            s->baudRate = BaudRateOption(value);
            if (s->baudRate == 0) return false;
            s->baudRateGiven = true;
            break;
        default: break;  // unknown letters are ignored without a message
    }
    return true;
}

struct LongOption {
    const char* name;
    bool TransferSettings::*flag;
};

constexpr LongOption kLongOptions[] = {
    {"--help", &TransferSettings::help},
    {"--version", &TransferSettings::version},
    {"--list-ports", &TransferSettings::listPorts},
    {"--progress", &TransferSettings::progress},
    {"--exit-status", &TransferSettings::exitStatus},
    {"--stdio", &TransferSettings::stdio},
    {"--json", &TransferSettings::json},
};

bool IsLongOption(const char* arg) { return arg[0] == '-' && arg[1] == '-'; }

bool Is(const char* value, const char* word) { return std::strcmp(value, word) == 0; }

bool FromOption(const char* value, TransferSettings* s) {
    constexpr struct {
        const char* name;
        ImageFormat format;
    } kFormats[] = {{"ihex", ImageFormat::kIntelHex},
                    {"srec", ImageFormat::kSRecord},
                    {"elf", ImageFormat::kElf},
                    {"auto", ImageFormat::kAuto}};
    for (const auto& f : kFormats)
        if (Is(value, f.name)) return s->from = f.format, true;
    return false;
}

// "entry", or an address the header's 16 bits can carry, in hexadecimal.
bool RunAddressOption(const char* value, TransferSettings* s) {
    s->runAddressGiven = true;
    s->runFromEntry = Is(value, "entry");
    if (s->runFromEntry) return true;
    if (value[0] == '0' && AsciiUpper(value[1]) == 'X') value += 2;
    uint32_t address = 0;
    int digits = 0;
    for (int d; (d = HexDigit(*value)) >= 0 && digits < 5; ++value, ++digits) address = address * 16 + d;
    s->runAddress = address;
    return digits > 0 && *value == '\0' && address <= 0xFFFF;
}

bool TimeoutOption(const char* value, TransferSettings* s) {
    constexpr uint32_t kMaxSeconds = 1000000;  // eleven days
    uint32_t seconds = 0;
    const char* p = value;
    for (; *p >= '0' && *p <= '9' && seconds <= kMaxSeconds; ++p) seconds = seconds * 10 + (*p - '0');
    s->timeoutSeconds = seconds;
    return p != value && *p == '\0' && seconds >= 1 && seconds <= kMaxSeconds;
}

bool ModemLineOption(const char* value, bool keepAllowed, ModemLine* line) {
    if (Is(value, "on")) return *line = ModemLine::kOn, true;
    if (Is(value, "off")) return *line = ModemLine::kOff, true;
    if (keepAllowed && Is(value, "keep")) return *line = ModemLine::kKeep, true;
    return false;
}

bool DtrOption(const char* value, TransferSettings* s) { return ModemLineOption(value, true, &s->dtr); }
bool RtsOption(const char* value, TransferSettings* s) {
    s->rtsGiven = true;
    return ModemLineOption(value, false, &s->rts);
}
bool PortOption(const char* value, TransferSettings* s) { return s->portAuto = Is(value, "auto"); }

struct ValuedOption {
    const char* name;
    bool (*apply)(const char* value, TransferSettings* s);
};

constexpr ValuedOption kValuedOptions[] = {
    {"--from", FromOption},
    {"--run-address", RunAddressOption},
    {"--timeout", TimeoutOption},
    {"--dtr", DtrOption},
    {"--rts", RtsOption},
    {"--port", PortOption},
};

// A long option with a value and no "=value": the next argument is its value.
bool TakesNextArgument(const char* arg) {
    for (const ValuedOption& option : kValuedOptions)
        if (Is(arg, option.name)) return true;
    return false;
}

// Applies argv[*i], a long option, taking its value from "=value" or from
// the next argument (then *i moves past it). kUnknownLongOption when it is
// not known, kBadLongValue when its value is missing or wrong; either way
// s->unknownOption names it (and s->badValue gives the value).
ParseResult ApplyLongOption(int argc, char** argv, int* i, TransferSettings* s) {
    const char* arg = argv[*i];
    for (const LongOption& option : kLongOptions) {
        if (Is(arg, option.name)) {
            s->*option.flag = true;
            return ParseResult::kOk;
        }
    }
    const char* equals = std::strchr(arg, '=');
    const size_t nameLength = equals ? static_cast<size_t>(equals - arg) : std::strlen(arg);
    for (const ValuedOption& option : kValuedOptions) {
        if (std::strlen(option.name) != nameLength || std::strncmp(arg, option.name, nameLength) != 0) continue;
        const char* value = equals ? equals + 1 : *i + 1 < argc ? argv[++*i] : nullptr;
        if (value && option.apply(value, s)) return ParseResult::kOk;
        s->unknownOption = option.name;
        s->badValue = value;
        return ParseResult::kBadLongValue;
    }
    // A lone "--" included: it is not the end-of-options marker here.
    s->unknownOption = arg;
    return ParseResult::kUnknownLongOption;
}

// What the fixed options rule out of the long ones; kOk when nothing.
ParseResult CheckCombinations(TransferSettings* s) {
    const char* option = nullptr;
    if (s->rtsGiven && s->flowControl == kFlowCtsRts)
        option = "--rts", s->conflict = kRtsIsHandshake;
    else if (s->from != ImageFormat::kBinary && (s->mode != 1 || !s->binaryMode))
        option = "--from", s->conflict = kFromSendsBinaryOnly;
    else if (s->runFromEntry && s->from == ImageFormat::kBinary)
        option = "--run-address", s->conflict = kEntryNeedsFrom;
    if (!option) return ParseResult::kOk;
    s->unknownOption = option;
    return ParseResult::kBadLongValue;
}

}  // namespace

ParseResult ParseArguments(int argc, char** argv, TransferSettings* out) {
    *out = TransferSettings();
    // The fixed grammar sees the arguments without the long options, so one
    // may stand anywhere, even before the file name.
    std::vector<char*> fixed;
    for (int i = 1; i < argc; ++i) {
        if (!IsLongOption(argv[i])) {
            fixed.push_back(argv[i]);
            continue;
        }
        // The first fault is the one told; nothing after it is looked at.
        const ParseResult r = ApplyLongOption(argc, argv, &i, out);
        if (r != ParseResult::kOk) return r;
    }
    if (fixed.empty()) {
        const bool needsNoFile = out->help || out->version || out->listPorts;
        return needsNoFile ? ParseResult::kOk : ParseResult::kUsageError;
    }
    out->fileName = fixed[0];
    for (size_t i = 1; i < fixed.size(); ++i) {
        if (!ApplyOption(fixed[i], out)) {
            out->badArgument = fixed[i];
            return ParseResult::kUsageError;
        }
    }
    // Software flow control acts on what we send while sending (obey the
    // device's XOFF) and on what we receive while receiving (send XOFF).
    if (out->mode == 2 && out->flowControl == kFlowXonXoffOut) out->flowControl = kFlowXonXoffIn;
    return CheckCombinations(out);
}

namespace {

// `velta -P/dev/ttyUSB0 game.bin`: the option is taken as the file name.
bool LooksLikeOption(const char* arg) { return arg[0] == '-' && arg[1] != '\0'; }

bool Missing(const char* path) {
    struct stat st;
    return stat(path, &st) != 0 && errno == ENOENT;
}

// Standard output keeps its fixed texts; the error stream names what the
// fixed grammar passes over in silence: an option given as the file name,
// and the arguments up to `last` that are ignored or that become options
// without looking like one (`velta *.bin` makes the second file name -T).
void RemarkOnArguments(int argc, char** argv, const char* last) {
    if (settings.fileName && LooksLikeOption(settings.fileName) && Missing(settings.fileName))
        ConsoleError(kFileNameFirst, settings.fileName);
    bool first = true;
    for (int i = 1; i < argc && argv[i] != last; ++i) {
        const char* arg = argv[i];
        if (IsLongOption(arg)) {
            if (TakesNextArgument(arg)) ++i;  // "--from ihex": ihex is no option
            continue;
        }
        if (std::exchange(first, false)) continue;
        if (arg[0] != '-' && arg[0] != '/')
            ConsoleError(kNotAnOption, arg);
        else if (arg[1] == '\0' || !std::strchr("MSPFTNB", AsciiUpper(arg[1])))
            ConsoleError(kUnknownOption, arg);
    }
}

// Names the argument that ended the run, and what it should have been. The
// program name alone gets the usage text only: that is what it asks for.
void ExplainUsageError(int argc) {
    const char* arg = settings.badArgument;
    if (!arg) {
        if (argc > 1) ConsoleError(kNoFileName);
        return;
    }
    ConsoleError(AsciiUpper(arg[1]) == 'B' ? kBadRate : kBadMode, arg);
}

// A long option's value that is wrong, missing, or ruled out by the rest.
void ExplainLongValue() {
    if (settings.conflict)
        ConsoleError(settings.conflict, settings.unknownOption);
    else if (settings.badValue)
        ConsoleError(kBadOptionValue, settings.unknownOption, settings.badValue);
    else
        ConsoleError(kMissingOptionValue, settings.unknownOption);
}

}  // namespace

void CheckArguments(ParseResult result, int argc, char** argv) {
    if (result == ParseResult::kUnknownLongOption) {
        ConsoleError(kUnknownOption, settings.unknownOption);
    } else if (result == ParseResult::kBadLongValue) {
        ExplainLongValue();
    } else {
        RemarkOnArguments(argc, argv, settings.badArgument);
        if (result == ParseResult::kUsageError) ExplainUsageError(argc);
    }
    if (result != ParseResult::kOk || !settings.fileName) {
        PrintUsage();
        std::exit(-1);
    }
}

void PrintUsage() {
    for (const char* line : kUsage) ConsoleText(line);
}
