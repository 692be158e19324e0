// velta against velta-sim, both real processes, over the sim's
// pseudo-terminal: transfers in both directions at several rates, with and
// without the header and with XON/XOFF, every fault the sim can play, and
// Ctrl+C in every phase followed by a run that must find the port free.
// Files and CRCs are compared exactly; time-outs only bound hangs.
#include <gtest/gtest.h>

#include "case_table.h"
#include "console_text.h"
#include "sim_driver.h"

namespace {

std::string Rate(int rate) { return "-B" + std::to_string(rate); }

// A run that ended the way a completed transfer ends (its done line and no
// abort line), or with the abort line and nothing claiming completion.
void ExpectEnded(const ProcessResult& r, const char* done, bool completed = true) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Contains(r.output, Console(done)), completed) << r.output << r.errors;
    EXPECT_EQ(Contains(r.output, Console(kAborted)), !completed) << r.output << r.errors;
}

// XON/XOFF on both ends of the line.
void AddXonXoff(bool xonxoff, std::vector<std::string>* args, std::vector<std::string>* simArgs) {
    if (!xonxoff) return;
    args->push_back("-F2");
    simArgs->push_back("--xonxoff");
}

// ---- the PC sends, the device loads ----

enum class Kind { kBuilt, kStored, kStoredWithN, kText };

struct SendCase {
    const char* name;
    Kind kind;
    int rate;
    bool xonxoff;
};
CASE_TABLE(SendToDevice, SendCase);

TEST_P(SendToDevice, DeviceLoadsEveryByteOnce) {
    const SendCase& c = GetParam();
    ScratchDir dir;
    const size_t n = c.rate < 38400 ? 2000 : 4000;
    const std::string data = Pattern(n, c.rate);
    std::vector<std::string> simArgs = {"--baud", std::to_string(c.rate), "--save", dir.Path("loaded")};
    std::vector<std::string> args = {"", "-MS", Rate(c.rate)};
    std::string file, loaded = data, report;
    switch (c.kind) {
        case Kind::kBuilt:
            file = data;
            args.push_back("-S3000");
            report = CompleteLine(data, 0x3000, 0);
            break;
        case Kind::kStored:
            file = HeaderBytes(16 + n, 0x4000, 0x4010) + data + "not announced";
            report = CompleteLine(data, 0x4000, 0x4010);
            break;
        case Kind::kStoredWithN:
            // -N leaves the stored header off the line: what follows it
            // (here a header of its own) is what the device gets.
            file = HeaderBytes(32 + n, 0x1000) + HeaderBytes(16 + n, 0x6000, 0x6002) + data;
            args.push_back("-N");
            report = CompleteLine(data, 0x6000, 0x6002);
            break;
        case Kind::kText:
            file = "TEXT\r\n" + data.substr(0, data.find('\x1A'));
            loaded = file + "\x1A";
            args.push_back("-T");
            simArgs.push_back("--text");
            report = CompleteTextLine(loaded);
            break;
    }
    args[0] = dir.File("program.bin", file);
    AddXonXoff(c.xonxoff, &args, &simArgs);
    Sim sim(simArgs);
    ProcessResult velta = RunVelta(sim, args);
    ProcessResult device = sim.Finish();
    ExpectEnded(velta, kSendDone);
    EXPECT_EQ(device.exitCode, 0) << device.output;
    EXPECT_EQ(ReportLine(device.output, "complete:"), report) << device.output;
    EXPECT_EQ(ReadFile(dir.Path("loaded")), loaded);
    // The native program outruns the device's drain, so XOFF must have held
    // it back; VELTA.exe under Wine spends about as long per byte as the
    // device does and on a short text may never fill its buffer.
    if (c.xonxoff && CurrentTarget().Name() == "native") {
        EXPECT_NE(ReportLine(device.output, "flow: XOFF sent"), "") << device.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, SendToDevice,
    ::testing::Values(SendCase{"Built9600", Kind::kBuilt, 9600, false},
                      SendCase{"Built38400", Kind::kBuilt, 38400, false},
                      SendCase{"BuiltXonXoff9600", Kind::kBuilt, 9600, true},
                      SendCase{"BuiltXonXoff38400", Kind::kBuilt, 38400, true},
                      SendCase{"Stored9600", Kind::kStored, 9600, false},
                      SendCase{"StoredXonXoff38400", Kind::kStored, 38400, true},
                      SendCase{"StoredWithN38400", Kind::kStoredWithN, 38400, false},
                      SendCase{"StoredWithNXonXoff9600", Kind::kStoredWithN, 9600, true},
                      SendCase{"Text9600", Kind::kText, 9600, false},
                      SendCase{"Text38400", Kind::kText, 38400, false},
                      SendCase{"TextXonXoff38400", Kind::kText, 38400, true}),
    CaseName());

// The device's own checks, on what the program really sends.
struct CheckCase {
    const char* name;
    std::string data;
    std::string option;  // beside -B38400
    const char* idle;    // how long the device waits once the line is silent
    int status;
    std::string report;  // the device's whole result line
};
CASE_TABLE(DeviceChecks, CheckCase);

TEST_P(DeviceChecks, SeeWhatTheProgramSent) {
    const CheckCase& c = GetParam();
    ScratchDir dir;
    Sim sim({"--baud", "38400", "--idle", c.idle});
    ProcessResult velta = RunVelta(sim, {dir.File("p.bin", c.data), c.option, "-B38400"});
    ProcessResult device = sim.Finish();
    ExpectEnded(velta, kSendDone);  // nothing on the line says otherwise
    EXPECT_EQ(device.exitCode, c.status);
    EXPECT_EQ(ReportLine(device.output, c.report.substr(0, c.report.find(':') + 1)), c.report);
}

const std::string kNoHeader = "no header here" + Pattern(500, 5);
const std::string kPastTheImage = Pattern(0x1800, 6);

INSTANTIATE_TEST_SUITE_P(
    Transfers, DeviceChecks,
    ::testing::Values(CheckCase{"DataWithoutHeaderHasTheWrongMagic", kNoHeader, "-N", "1", 4,
                                Format("wrong magic: 6E 6F 20 instead of FF FE 4D; %zu further bytes ignored",
                                       kNoHeader.size() - 3)},
                      CheckCase{"DataPastTheImageIsAnOverrun", kPastTheImage, "-SF000", "5", 6,
                                Format("overrun: 6144 bytes, load F000, run 0000, crc32 %08X; the last 2048 bytes "
                                       "ran past the end of the 64 KiB image",
                                       Crc(kPastTheImage))}),
    CaseName());

// ---- the device sends, the PC receives ----

struct ReceiveCase {
    const char* name;
    Kind kind;
    bool withN;
    int rate;
    bool xonxoff;
};
CASE_TABLE(ReceiveFromDevice, ReceiveCase);

TEST_P(ReceiveFromDevice, FileHoldsExactlyWhatWasSent) {
    const ReceiveCase& c = GetParam();
    ScratchDir dir;
    const size_t n = c.rate < 38400 ? 1500 : 4000;
    const std::string data = Pattern(n, c.rate + 1);
    std::vector<std::string> simArgs = {"--baud", std::to_string(c.rate), "--wait-open"};
    std::vector<std::string> args = {dir.Path("received.bin"), "-MR", Rate(c.rate)};
    std::string file, expected;
    switch (c.kind) {
        case Kind::kBuilt:
            file = data;
            simArgs.insert(simArgs.end(), {"--load", "3000", "--run", "3004"});
            expected = (c.withN ? "" : HeaderBytes(16 + n, 0x3000, 0x3004)) + data;
            break;
        case Kind::kStored:
            file = HeaderBytes(16 + n, 0x5000, 0x5004) + data;
            expected = c.withN ? data : file;
            break;
        case Kind::kText:
            file = "TEXT\r\n" + data.substr(0, data.find('\x1A'));
            expected = file + "\x1A";
            simArgs.push_back("--text");
            args.push_back("-T");
            break;
        case Kind::kStoredWithN:
            FAIL() << "not a reception";
    }
    simArgs.insert(simArgs.end(), {"--send", dir.File("device.bin", file)});
    if (c.withN) args.push_back("-N");
    AddXonXoff(c.xonxoff, &args, &simArgs);
    Sim sim(simArgs);
    ProcessResult velta = RunVelta(sim, args);
    ProcessResult device = sim.Finish();
    ExpectEnded(velta, kReceiveDone);
    EXPECT_EQ(device.exitCode, 0) << device.output;
    EXPECT_TRUE(Contains(device.output, "taken: the PC has read everything\n")) << device.output;
    EXPECT_EQ(ReadFile(dir.Path("received.bin")), expected);
    // The device's CRC of what it sent is the CRC of what the file holds.
    const std::string sentData = c.kind == Kind::kText ? expected : data;
    EXPECT_TRUE(Contains(ReportLine(device.output, "sending:"), Format("crc32 %08X", Crc(sentData))))
        << device.output;
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, ReceiveFromDevice,
    ::testing::Values(ReceiveCase{"Built9600", Kind::kBuilt, false, 9600, false},
                      ReceiveCase{"Built38400", Kind::kBuilt, false, 38400, false},
                      ReceiveCase{"BuiltWithN9600", Kind::kBuilt, true, 9600, false},
                      ReceiveCase{"BuiltWithN38400", Kind::kBuilt, true, 38400, false},
                      ReceiveCase{"BuiltXonXoff9600", Kind::kBuilt, false, 9600, true},
                      ReceiveCase{"BuiltWithNXonXoff38400", Kind::kBuilt, true, 38400, true},
                      ReceiveCase{"Stored38400", Kind::kStored, false, 38400, false},
                      ReceiveCase{"StoredWithN9600", Kind::kStored, true, 9600, false},
                      ReceiveCase{"Text9600", Kind::kText, false, 9600, false},
                      ReceiveCase{"Text38400", Kind::kText, false, 38400, false},
                      ReceiveCase{"TextXonXoff38400", Kind::kText, false, 38400, true}),
    CaseName());

// ---- faults the device plays while the PC receives ----

const std::string kFaultData = Pattern(600, 9);
const std::string kFaultStream = HeaderBytes(616, 0x2000) + kFaultData;

struct FaultCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string file;      // what the received file must hold; "?" for the noise case
    std::string message;   // a console text that must appear
};
CASE_TABLE(DeviceFault, FaultCase);

// The sim hangs up after its linger, so every case ends without Ctrl+C.
TEST_P(DeviceFault, EndsWithTheAbortLineAndKeepsWhatArrived) {
    const FaultCase& c = GetParam();
    ScratchDir dir;
    Sim sim(Joined({"--send", dir.File("device.bin", kFaultData), "--baud", "38400", "--wait-open", "--linger", "0.5"},
                   c.simArgs));
    ProcessResult velta = RunVelta(sim, {dir.Path("received.bin"), "-MR", "-B38400"});
    ProcessResult device = sim.Finish();
    ExpectEnded(velta, kReceiveDone, false);
    EXPECT_TRUE(Contains(velta.output, c.message)) << velta.output;
    EXPECT_EQ(device.exitCode, 0) << device.output;
    const std::string got = ReadFile(dir.Path("received.bin"));
    if (c.file == "?") {
        ASSERT_EQ(got.size(), kFaultStream.size());
        EXPECT_NE(got.substr(0, 3), kFaultStream.substr(0, 3));
        EXPECT_EQ(got.substr(16), kFaultData);
    } else {
        EXPECT_EQ(got, c.file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceFault,
    ::testing::Values(
        FaultCase{"StopInTheHeader", {"--stop-after", "5"}, kFaultStream.substr(0, 5), Console(kAborted)},
        FaultCase{"StopInTheData", {"--stop-after", "100"}, kFaultStream.substr(0, 100),
                  Console(Format(kReceiveHeaderLine, 0x2000, 0, 600ul))},
        FaultCase{"AnnouncesMoreThanItSends", {"--short", "50"}, HeaderBytes(666, 0x2000) + kFaultData,
                  Console(Format(kReceiveHeaderLine, 0x2000, 0, 650ul))},
        FaultCase{"SizeBelowSixteen", {"--bad-size"}, HeaderBytes(8, 0x2000),
                  Console(Format(kReceivedSizeTooSmall, 8ul))},
        FaultCase{"GarbageForAHeader", {"--garbage"}, "?", Console(kAborted)}),
    CaseName());

// ---- Ctrl+C while sending, then a run that must find the port free ----

struct SendAbortCase {
    const char* name;
    std::string hangAfter;
    bool xonxoff;
    size_t size;
};
CASE_TABLE(InterruptSending, SendAbortCase);

TEST_P(InterruptSending, AbortsAndTheNextRunSucceeds) {
    const SendAbortCase& c = GetParam();
    ScratchDir dir;
    Sim sim({"--baud", "38400", "--sessions", "2", "--wait-stdin", "--idle", "120", "--hang-after", c.hangAfter,
                  "--save", dir.Path("loaded")});
    std::vector<std::string> args = {dir.File("big.bin", Pattern(c.size, 11)), "-B38400"};
    if (c.xonxoff) args.push_back("-F2");
    std::unique_ptr<Process> first = StartVelta(sim, args);
    // With --hang-after 0, held before the first header byte could go.
    const bool inTheHeader = c.hangAfter == "0";
    ASSERT_TRUE(inTheHeader ? first->WaitForOutput(Console(kHeaderByteWriting)) : sim.WaitFor("hanging:"));
    Interrupt(*first);
    ProcessResult aborted = first->Wait(60);
    ExpectEnded(aborted, kSendDone, false);
    EXPECT_FALSE(inTheHeader && Contains(aborted.output, kHeaderByteSent)) << aborted.output;

    sim.Go();
    ASSERT_TRUE(sim.WaitFor("; ended by the operator\nready:"));
    const std::string data = Pattern(3000, 12);
    args[0] = dir.File("small.bin", data);
    ProcessResult second = RunVelta(sim, args);
    ProcessResult device = sim.Finish();
    ExpectEnded(second, kSendDone);
    EXPECT_EQ(device.exitCode, 1);  // the first transfer was incomplete
    EXPECT_EQ(ReportLine(device.output, "complete:"), CompleteLine(data, 0x2000, 0)) << device.output;
    EXPECT_EQ(ReadFile(dir.Path("loaded")), data);
}

INSTANTIATE_TEST_SUITE_P(Phases, InterruptSending,
                         ::testing::Values(SendAbortCase{"InTheHeader", "0", true, 3000},
                                           SendAbortCase{"InTheDataHeldByXoff", "1000", true, 8000},
                                           SendAbortCase{"InTheDataLineFull", "1000", false, 65536}),
                         CaseName());

// ---- Ctrl+C while receiving, then a run that must find the port free ----

struct ReceiveAbortCase {
    const char* name;
    size_t stopAfter;
};
CASE_TABLE(InterruptReceiving, ReceiveAbortCase);

TEST_P(InterruptReceiving, AbortsKeepsWhatArrivedAndTheNextRunSucceeds) {
    const ReceiveAbortCase& c = GetParam();
    ScratchDir dir;
    const std::string data = Pattern(2000, 13);
    const std::string stream = HeaderBytes(2016, 0x2000) + data;
    Sim sim({"--send", dir.File("device.bin", data), "--baud", "38400", "--wait-open", "--sessions", "2",
                  "--stop-after", std::to_string(c.stopAfter), "--linger", "0"});
    std::unique_ptr<Process> first = StartVelta(sim, {dir.Path("first.bin"), "-MR", "-B38400"});
    ASSERT_TRUE(first->WaitForOutput(Format(kReceivePrompt, 38400)));
    ASSERT_TRUE(sim.WaitFor("taken:"));
    Interrupt(*first);
    ProcessResult aborted = first->Wait(60);
    ExpectEnded(aborted, kReceiveDone, false);
    EXPECT_EQ(ReadFile(dir.Path("first.bin")), stream.substr(0, c.stopAfter));

    ProcessResult second = RunVelta(sim, {dir.Path("second.bin"), "-MR", "-B38400"});
    ProcessResult device = sim.Finish();
    SCOPED_TRACE("the device said:\n" + device.output);
    ExpectEnded(second, kReceiveDone);
    EXPECT_EQ(ReadFile(dir.Path("second.bin")), stream);
    EXPECT_EQ(device.exitCode, 0) << device.output;
}

INSTANTIATE_TEST_SUITE_P(Phases, InterruptReceiving,
                         ::testing::Values(ReceiveAbortCase{"WaitingForTheFirstByte", 0},
                                           ReceiveAbortCase{"InTheHeader", 5},
                                           ReceiveAbortCase{"InTheData", 100}),
                         CaseName());

}  // namespace
