// Fuzz target: the command line. Any arguments; the parse must agree with
// itself (long options may stand anywhere), keep the settings within what
// the grammar can produce, and the usage exit after the banner must come
// exactly when the parse failed or named no file, with status -1, leaving
// the settings as they were. The exit is caught by
// linking with -Wl,--wrap=exit, so the product's code stays as it is.
#include <fuzzer/FuzzedDataProvider.h>

#include <csetjmp>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "settings.h"

namespace {

std::jmp_buf* exitTrap = nullptr;
int exitStatus = 0;

bool SameSettings(const TransferSettings& a, const TransferSettings& b) {
    return a.mode == b.mode && a.binaryMode == b.binaryMode && a.loadAddressGiven == b.loadAddressGiven &&
           a.sendHeader == b.sendHeader && a.port == b.port && a.flowControl == b.flowControl &&
           a.baudRate == b.baudRate && a.baudRateGiven == b.baudRateGiven && a.loadAddress == b.loadAddress &&
           a.runAddress == b.runAddress && a.fileName == b.fileName && a.devicePath == b.devicePath &&
           a.portValue == b.portValue && a.help == b.help && a.version == b.version &&
           a.listPorts == b.listPorts && a.progress == b.progress && a.exitStatus == b.exitStatus &&
           a.stdio == b.stdio && a.unknownOption == b.unknownOption;
}

bool IsLong(const char* arg) { return arg[0] == '-' && arg[1] == '-'; }

bool OneOf(int32_t value, std::initializer_list<int32_t> allowed) {
    for (int32_t a : allowed)
        if (value == a) return true;
    return false;
}

// CheckArguments, with its exit caught: true when it ended the process.
bool EndedOnUsageError(ParseResult result, int argc, char** argv) {
    std::jmp_buf trap;
    exitTrap = &trap;
    if (setjmp(trap) == 0) {
        CheckArguments(result, argc, argv);
        exitTrap = nullptr;
        return false;
    }
    exitTrap = nullptr;
    return true;
}

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (exitTrap) {
        exitStatus = status;
        std::longjmp(*exitTrap, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments are the input split at NUL bytes, after the program's name.
    std::vector<std::string> args = {"velta"};
    for (size_t at = 0; at < size && args.size() < 16;) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
        const size_t length = end ? size_t(end - (data + at)) : size - at;
        args.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length + 1;
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    const int argc = int(argv.size());
    argv.push_back(nullptr);

    TransferSettings parsed;
    const ParseResult result = ParseArguments(argc, argv.data(), &parsed);

    // The long options moved behind the rest: the same parse. A valued long
    // option (--timeout 5, --dtr=off) ties an argument to its place, so the
    // inputs that hold one are left out of this comparison.
    bool valued = false;
    for (int i = 1; i < argc; ++i)
        for (const char* name : {"--from", "--run-address", "--timeout", "--dtr", "--rts", "--port"})
            valued = valued || std::strncmp(argv[i], name, std::strlen(name)) == 0;
    std::vector<char*> moved = {argv[0]};
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 1; i < argc; ++i)
            if (IsLong(argv[i]) == (pass == 1)) moved.push_back(argv[i]);
    moved.push_back(nullptr);
    TransferSettings again;
    const ParseResult movedResult = ParseArguments(argc, moved.data(), &again);
    FUZZ_EXPECT(valued || movedResult == result, "the long options' place changed the result");
    FUZZ_EXPECT(valued || SameSettings(parsed, again), "the long options' place changed the settings");

    if (result == ParseResult::kOk) {
        FUZZ_EXPECT(OneOf(parsed.mode, {1, 2}), "mode %d", parsed.mode);
        FUZZ_EXPECT(OneOf(parsed.baudRate, {300, 600, 1200, 2400, 4800, 9600, 19200, 38400}), "rate %d",
                    parsed.baudRate);
        FUZZ_EXPECT(OneOf(parsed.flowControl, {0, 2, parsed.mode == 2 ? 4 : 8}), "flow %d in mode %d",
                    parsed.flowControl, parsed.mode);
        FUZZ_EXPECT(valued || parsed.runAddress == 0, "run address %u without --run-address", parsed.runAddress);
    }
    // A long option that is unknown, or whose value is wrong or missing, is
    // named for the error stream; nothing is named otherwise.
    const bool named = result == ParseResult::kUnknownLongOption || result == ParseResult::kBadLongValue;
    FUZZ_EXPECT(named == (parsed.unknownOption != nullptr),
                "a long option refused without its name, or named without being refused");

    // The driver's way: the parse into the global settings, then the exit.
    const bool usageExit = result != ParseResult::kOk || !parsed.fileName;
    FUZZ_EXPECT(ParseArguments(argc, argv.data(), &settings) == result, "a second parse differs");
    const bool exited = EndedOnUsageError(result, argc, argv.data());
    FUZZ_EXPECT(exited == usageExit, "CheckArguments exited: %d", exited);
    if (usageExit) FUZZ_EXPECT(exitStatus == -1, "usage exit status %d", exitStatus);
    FUZZ_EXPECT(SameSettings(settings, parsed), "the global settings differ from the parse");
    return 0;
}
