// Command-line parsing: every option, the odd forms users type, and the
// numbers read the way the C runtime reads them on a 32-bit Windows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_table.h"
#include "settings.h"

namespace {

// An argument vector as the program gets it ("VELTA" first), kept alive
// beside the settings that point into it.
struct CommandLine {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    TransferSettings settings;
    explicit CommandLine(const std::vector<std::string>& args) : storage{"VELTA"} {
        storage.insert(storage.end(), args.begin(), args.end());
        for (std::string& a : storage) argv.push_back(&a[0]);
        argv.push_back(nullptr);
    }
    ParseResult Parse() { return ParseArguments(static_cast<int>(storage.size()), argv.data(), &settings); }
};

struct Expect {
    int32_t mode = 1, binaryMode = 1, loadAddressGiven = 0, sendHeader = 1, port = 1, flowControl = 0,
            baudRate = 9600;
    uint32_t loadAddress = 0x2000;
};

struct Case {
    const char* name;
    std::vector<std::string> args;  // after the program name
    bool ok;
    Expect expect;
};

Expect With(void (*edit)(Expect&)) {
    Expect e;
    edit(e);
    return e;
}

Expect LoadAt(uint32_t address) {
    Expect e;
    e.loadAddressGiven = 1;
    e.loadAddress = address;
    return e;
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"FileAlone", {"f"}, true, {}},
        {"NoFileName", {}, false, {}},
        {"SendLower", {"f", "-ms"}, true, {}},
        {"SendSlash", {"f", "/MS"}, true, {}},
        {"SendAnyLead", {"f", "xMs"}, true, {}},
        {"ReceiveLower", {"f", "-mr"}, true, With([](Expect& e) { e.mode = 2; })},
        {"ModeEmpty", {"f", "-M"}, false, {}},
        {"ModeUnknown", {"f", "-MX"}, false, {}},
        {"UnknownLetterIgnored", {"f", "-X", "-", "-Qzz"}, true, {}},
        {"ModeLaterWins", {"f", "-MR", "-MS"}, true, {}},
        {"Text", {"f", "-T"}, true, With([](Expect& e) { e.binaryMode = 0; })},
        {"NoHeader", {"f", "-n"}, true, With([](Expect& e) { e.sendHeader = 0; })},
        {"LoadHex", {"f", "-S8000"}, true, LoadAt(0x8000)},
        {"LoadHexPrefix", {"f", "-S0x8000"}, true, LoadAt(0x8000)},
        {"LoadGarbage", {"f", "-Szz"}, true, LoadAt(0)},
        {"LoadPrefixOnly", {"f", "-S0xg"}, true, LoadAt(0)},
        {"LoadSaturates", {"f", "-S123456789"}, true, LoadAt(0xFFFFFFFF)},
        {"LoadNegative", {"f", "-S-1"}, true, LoadAt(0xFFFFFFFF)},
        {"LoadBlanksAndCase", {"f", "-S  abCD"}, true, LoadAt(0xABCD)},
        {"Port", {"f", "-P3"}, true, With([](Expect& e) { e.port = 3; })},
        {"PortGarbage", {"f", "-Pcom2"}, true, With([](Expect& e) { e.port = 0; })},
        {"Port257", {"f", "-P257"}, true, With([](Expect& e) { e.port = 257; })},
        {"PortWraps", {"f", "-P4294967297"}, true, With([](Expect& e) { e.port = 1; })},
        {"FlowHard", {"f", "-F1"}, true, With([](Expect& e) { e.flowControl = 2; })},
        {"FlowSoftSend", {"f", "-F2", "-MS"}, true, With([](Expect& e) { e.flowControl = 8; })},
        {"FlowSoftReceive", {"f", "-F2", "-MR"}, true, With([](Expect& e) { e.mode = 2, e.flowControl = 4; })},
        {"FlowSoftReceiveAfter", {"f", "-MR", "-F2"}, true, With([](Expect& e) { e.mode = 2, e.flowControl = 4; })},
        {"FlowHardReceive", {"f", "-F1", "-MR"}, true, With([](Expect& e) { e.mode = 2, e.flowControl = 2; })},
        {"FlowOther", {"f", "-F7"}, true, {}},
        {"FlowNone", {"f", "-F2", "-F0"}, true, {}},
        {"Baud300", {"f", "-B300"}, true, With([](Expect& e) { e.baudRate = 300; })},
        {"Baud38400", {"f", "-b38400"}, true, With([](Expect& e) { e.baudRate = 38400; })},
        {"Baud38401", {"f", "-B38401"}, false, {}},
        {"Baud0", {"f", "-B0"}, false, {}},
        {"BaudEmpty", {"f", "-B"}, false, {}},
        {"Baud100", {"f", "-B100"}, false, {}},
        {"Baud76800", {"f", "-B76800"}, false, {}},
        {"Baud9601", {"f", "-B9601"}, false, {}},
        // atoi wraps modulo 2^32: 2^32 + 9600 reads as 9600.
        {"BaudWraps", {"f", "-B4294976896"}, true, With([](Expect& e) { e.baudRate = 9600; })},
        // -MS before the file name is the file name; "f" is then an option
        // whose letter is its (missing) second character.
        {"ModeBeforeFile", {"-MS", "file"}, true, {}},
        {"ModeBeforeFileLetter", {"-MS", "xt"}, true, With([](Expect& e) { e.binaryMode = 0; })},
        {"StopsAtFirstError", {"f", "-B1", "-MX"}, false, {}},
        {"ShortArgIgnored", {"f", "M"}, true, {}},
    };
    return cases;
}

CASE_TABLE(ParseArgumentsTest, Case);

TEST_P(ParseArgumentsTest, Parses) {
    const Case& c = GetParam();
    CommandLine line(c.args);
    ASSERT_EQ(line.Parse() == ParseResult::kOk, c.ok);
    const TransferSettings& s = line.settings;
    if (!c.ok) return;
    EXPECT_EQ(s.mode, c.expect.mode);
    EXPECT_EQ(s.binaryMode, c.expect.binaryMode);
    EXPECT_EQ(s.loadAddressGiven, c.expect.loadAddressGiven);
    EXPECT_EQ(s.sendHeader, c.expect.sendHeader);
    EXPECT_EQ(s.port, c.expect.port);
    EXPECT_EQ(s.flowControl, c.expect.flowControl);
    EXPECT_EQ(s.baudRate, c.expect.baudRate);
    EXPECT_EQ(s.loadAddress, c.expect.loadAddress);
    EXPECT_EQ(s.runAddress, 0u);
    EXPECT_STREQ(s.fileName, line.storage[1].c_str());
}

INSTANTIATE_TEST_SUITE_P(Options, ParseArgumentsTest, ::testing::ValuesIn(Cases()),
                         CaseName());

TEST(ParseArgumentsPath, SlashNamesADevice) {
    CommandLine device({"f", "-P/dev/ttyUSB0"});
    ASSERT_EQ(device.Parse(), ParseResult::kOk);
    ASSERT_NE(device.settings.devicePath, nullptr);
    EXPECT_STREQ(device.settings.devicePath, "/dev/ttyUSB0");
    CommandLine later({"f", "-P/dev/ttyUSB0", "-P2"});
    ASSERT_EQ(later.Parse(), ParseResult::kOk);
    EXPECT_EQ(later.settings.devicePath, nullptr);  // a later COM number wins
    EXPECT_EQ(later.settings.port, 2);
}

struct LongCase {
    const char* name;
    std::vector<std::string> args;
    ParseResult result;
    const char* fileName;  // expected file name, or the unknown option named
    int mode;
};

CASE_TABLE(LongOptionTest, LongCase);

// Long options are taken out wherever they stand; the fixed grammar then
// sees the rest exactly as before.
TEST_P(LongOptionTest, TakenOutBeforeTheFixedParsing) {
    const LongCase& c = GetParam();
    CommandLine line(c.args);
    ASSERT_EQ(line.Parse(), c.result);
    const TransferSettings& s = line.settings;
    if (c.result == ParseResult::kUnknownLongOption) {
        EXPECT_STREQ(s.unknownOption, c.fileName);
        return;
    }
    if (c.result != ParseResult::kOk) return;
    if (c.fileName) EXPECT_STREQ(s.fileName, c.fileName);
    else EXPECT_EQ(s.fileName, nullptr);
    EXPECT_EQ(s.mode, c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Options, LongOptionTest,
    ::testing::Values(LongCase{"FirstIsNeverTheFile", {"--progress", "game.bin", "-MR"}, ParseResult::kOk, "game.bin", 2},
                      LongCase{"Last", {"game.bin", "-MR", "--progress"}, ParseResult::kOk, "game.bin", 2},
                      LongCase{"DotSlashNamesSuchAFile", {"./--progress"}, ParseResult::kOk, "./--progress", 1},
                      LongCase{"Misspelt", {"game.bin", "--progres"}, ParseResult::kUnknownLongOption, "--progres", 1},
                      LongCase{"LoneDoubleDash", {"--", "game.bin"}, ParseResult::kUnknownLongOption, "--", 1},
                      LongCase{"UnknownBeforeBadFixed", {"f", "-MX", "--nope"}, ParseResult::kUnknownLongOption,
                               "--nope", 1},
                      LongCase{"HelpNeedsNoFile", {"--help"}, ParseResult::kOk, nullptr, 1},
                      LongCase{"ListNeedsNoFile", {"--list-ports"}, ParseResult::kOk, nullptr, 1},
                      LongCase{"ProgressNeedsAFile", {"--progress"}, ParseResult::kUsageError, nullptr, 1}),
    CaseName());

}  // namespace
