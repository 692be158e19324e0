// velta-sim on its own: the test plays the PC on the sim's pseudo-terminal
// and checks every byte the sim sends and every report and status it gives.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "case_table.h"
#include "sim_driver.h"
#include "pty_pair.h"

namespace {

constexpr char kXoff = 0x13, kXon = 0x11;

// ---- loading: the PC sends ----

// The sim, given args, loads what the PC sends; its output once it has ended.
ProcessResult Load(const std::vector<std::string>& args, const std::string& sent) {
    Sim sim(args);
    PcSide pc(sim);
    EXPECT_TRUE(WriteAll(pc.fd(), sent));
    return sim.Finish();
}

TEST(SimLoad, ReportsAndSavesWhatArrived) {
    ScratchDir dir;
    const std::string data = Pattern(1500, 1);
    ProcessResult r =
        Load({"--baud", "38400", "--save", dir.Path("saved")}, HeaderBytes(16 + 1500, 0x3000, 0x3010) + data);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(ReportLine(r.output, "complete:"), CompleteLine(data, 0x3000, 0x3010));
    EXPECT_EQ(ReadFile(dir.Path("saved")), data);
}

struct LoadFault {
    const char* name;
    std::vector<std::string> args;
    std::string sent;
    int status;
    std::string report;  // the whole result line
};
CASE_TABLE(SimLoadFault, LoadFault);

TEST_P(SimLoadFault, IsReportedWithItsStatus) {
    const LoadFault& c = GetParam();
    ProcessResult r = Load(Joined({"--baud", "38400", "--idle", "0.5"}, c.args), c.sent);
    EXPECT_EQ(r.exitCode, c.status) << r.output;
    EXPECT_EQ(ReportLine(r.output, c.report.substr(0, c.report.find(':') + 1)), c.report);
}

const std::string kText = "line one\r\nline two\r\n";

INSTANTIATE_TEST_SUITE_P(
    Faults, SimLoadFault,
    ::testing::Values(
        // The published check value of CRC-32/ISO-HDLC for "123456789".
        LoadFault{"CrcIsTheIeeeOne", {}, HeaderBytes(16 + 9, 0x2000) + "123456789", 0,
                  "complete: 9 bytes, load 2000, run 0000, crc32 CBF43926"},
        LoadFault{"WrongMagic", {}, Bytes({0xFF, 0xFE, 0x4E}) + std::string(13 + 20, 'x'), 4,
                  "wrong magic: FF FE 4E instead of FF FE 4D; 33 further bytes ignored"},
        LoadFault{"SizeBelowSixteen", {}, HeaderBytes(10, 0x2000) + "abc", 5,
                  "bad size: totalSize 00000A is below 16; 3 further bytes ignored"},
        LoadFault{"OverrunsTheImage", {}, HeaderBytes(16 + 0x2000, 0xF000) + Pattern(0x2000, 1), 6,
                  Format("overrun: 8192 bytes, load F000, run 0000, crc32 %08X; the last 4096 bytes ran past the end "
                         "of the 64 KiB image",
                         Crc(Pattern(0x2000, 1)))},
        LoadFault{"SilentInTheData", {}, HeaderBytes(16 + 100, 0x2000) + Pattern(40, 1), 1,
                  Format("incomplete: 40 of 100 bytes, load 2000, run 0000, crc32 %08X; the line fell silent for 0.5 s",
                         Crc(Pattern(40, 1)))},
        LoadFault{"SilentInTheHeader", {}, HeaderBytes(100, 0x2000).substr(0, 5), 1,
                  "incomplete: 5 of 16 header bytes; the line fell silent for 0.5 s"},
        LoadFault{"TextWithoutEnd", {"--text"}, kText, 1,
                  Format("incomplete: text of %zu bytes, load 2000, crc32 %08X; the line fell silent for 0.5 s",
                         kText.size(), Crc(kText))},
        LoadFault{"TextComplete", {"--text", "--load", "8000"}, kText + "\x1A" + "after", 0,
                  CompleteTextLine(kText + "\x1A", 0x8000)}),
    CaseName());

TEST(SimLoad, XonXoffHoldsAFastSender) {
    ScratchDir dir;
    const std::string data = Pattern(3000, 1);
    Sim sim({"--baud", "38400", "--xonxoff", "--save", dir.Path("saved")});
    PcSide pc(sim);
    std::atomic<bool> done{false};
    std::string fromSim;
    std::thread reader([&] {
        while (!done) fromSim += ReadUntilQuiet(pc.fd(), 0.05, 0.2);
    });
    ASSERT_TRUE(WriteAll(pc.fd(), HeaderBytes(16 + 3000, 0x2000) + data));
    ASSERT_TRUE(sim.WaitFor("complete:"));
    done = true;
    reader.join();
    ProcessResult r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(ReadFile(dir.Path("saved")), data);
    // Held with XOFF, released with XON, in turn; the last XON may come as
    // the sim closes the line.
    const int xoffs = Count(fromSim, kXoff);
    ASSERT_GE(xoffs, 1);
    std::string turns;
    for (int i = 0; i < xoffs; ++i) turns += std::string{kXoff, kXon};
    EXPECT_EQ(fromSim, turns.substr(0, fromSim.size()));
    EXPECT_EQ(ReportLine(r.output, "flow:"), Format("flow: XOFF sent %d time%s", xoffs, xoffs == 1 ? "" : "s"));
}

TEST(SimLoad, HangAfterSendsXoffAndTakesNothingMore) {
    ScratchDir dir;
    const std::string data = Pattern(200, 1);
    Sim sim({"--baud", "38400", "--hang-after", "50", "--idle", "0.5"});
    PcSide pc(sim);
    ASSERT_TRUE(WriteAll(pc.fd(), HeaderBytes(16 + 200, 0x2000) + data));
    EXPECT_EQ(ReadExactly(pc.fd(), 1), std::string(1, kXoff));
    ProcessResult r = sim.Finish();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.output, "hanging: XOFF sent after 50 bytes, nothing more is taken\n")) << r.output;
    EXPECT_EQ(ReportLine(r.output, "incomplete:"),
              Format("incomplete: 34 of 200 bytes, load 2000, run 0000, crc32 %08X; hung as asked",
                     Crc(data.substr(0, 34))));
}

TEST(SimLoad, GoEndsATransferAndDropsWhatCameBeforeTheNext) {
    ScratchDir dir;
    const std::string data = Pattern(700, 1);
    Sim sim({"--baud", "38400", "--sessions", "2", "--wait-stdin", "--idle", "60"});
    PcSide pc(sim);
    ASSERT_TRUE(WriteAll(pc.fd(), HeaderBytes(16 + 700, 0x2000) + data.substr(0, 300)));
    sim.Go();
    // Left over from the first transfer: must not count in the second.
    ASSERT_TRUE(WriteAll(pc.fd(), data.substr(300, 20)));
    ASSERT_TRUE(sim.WaitFor("; ended by the operator\nready:"));
    ASSERT_TRUE(WriteAll(pc.fd(), HeaderBytes(16 + 700, 0x2000) + data));
    ProcessResult r = sim.Finish();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.output, "; ended by the operator\n")) << r.output;
    EXPECT_TRUE(Contains(r.output, CompleteLine(data, 0x2000, 0) + "\n")) << r.output;
}

// ---- sending: the PC receives ----

struct SendCase {
    const char* name;
    std::string file;
    std::vector<std::string> args;
    std::string expected;  // every byte on the line
};
CASE_TABLE(SimSend, SendCase);

TEST_P(SimSend, PutsExactlyTheseBytesOnTheLine) {
    const SendCase& c = GetParam();
    ScratchDir dir;
    Sim sim(Joined({"--send", dir.File("file", c.file), "--baud", "38400", "--wait-open", "--linger", "0.5"}, c.args));
    PcSide pc(sim);
    std::string got = ReadExactly(pc.fd(), c.expected.size(), 30);
    got += ReadUntilQuiet(pc.fd(), 0.3, 5);
    EXPECT_EQ(got, c.expected);
    ProcessResult r = sim.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(Contains(r.output, "taken: the PC has read everything\n")) << r.output;
}

const std::string kData = Pattern(300, 7);
const std::string kStored = HeaderBytes(16 + 100, 0x4000, 0x4010) + kData;  // 200 bytes beyond its size

INSTANTIATE_TEST_SUITE_P(
    Bytes, SimSend,
    ::testing::Values(
        SendCase{"BuiltHeader", kData, {"--load", "1234", "--run", "5678"}, HeaderBytes(316, 0x1234, 0x5678) + kData},
        SendCase{"DefaultAddresses", kData, {}, HeaderBytes(316, 0x2000, 0) + kData},
        SendCase{"StoredHeaderAndWhatItAnnounces", kStored, {}, kStored.substr(0, 116)},
        SendCase{"TextGetsItsEnd", "abc\r\n", {"--text"}, "abc\r\n\x1A"},
        SendCase{"TextEndsAtTheFirstEnd", "ab\x1A" "cd\x1A", {"--text"}, "ab\x1A"},
        SendCase{"ShortAnnouncesMore", kData, {"--short", "100"}, HeaderBytes(416, 0x2000) + kData},
        SendCase{"BadSize", kData, {"--bad-size"}, HeaderBytes(8, 0x2000) + kData},
        SendCase{"StopAfter", kData, {"--stop-after", "10"}, HeaderBytes(316, 0x2000).substr(0, 10)},
        SendCase{"StopAfterNothing", kData, {"--stop-after", "0"}, ""},
        SendCase{"OneByteAtATime", kData, {"--burst", "1"}, HeaderBytes(316, 0x2000) + kData},
        SendCase{"EightAtATimeAndTheRest", kData, {"--burst", "8"}, HeaderBytes(316, 0x2000) + kData}),
    CaseName());

TEST(SimSendFault, GarbageIsNoHeaderButTheDataFollows) {
    ScratchDir dir;
    Sim sim({"--send", dir.File("file", kData), "--baud", "38400", "--wait-open", "--garbage", "--linger", "0"});
    PcSide pc(sim);
    std::string got = ReadExactly(pc.fd(), 16 + kData.size(), 30);
    ASSERT_EQ(got.size(), 16 + kData.size());
    EXPECT_NE(got.substr(0, 3), HeaderBytes(316, 0x2000).substr(0, 3));
    // Its size field would have a receiver wait for millions of bytes.
    EXPECT_GE(static_cast<uint8_t>(got[5]), 0x40);
    EXPECT_EQ(got.substr(16), kData);
    EXPECT_EQ(sim.Finish().exitCode, 0);
}

TEST(SimSendFault, FaultsAreForTheFirstTransferOnly) {
    ScratchDir dir;
    Sim sim({"--send", dir.File("file", kData), "--baud", "38400", "--wait-open", "--sessions", "2",
                  "--stop-after", "5", "--linger", "0"});
    {
        PcSide first(sim);
        EXPECT_EQ(ReadExactly(first.fd(), 5), HeaderBytes(316, 0x2000).substr(0, 5));
        ASSERT_TRUE(sim.WaitFor("taken:"));
    }
    PcSide second(sim);
    EXPECT_EQ(ReadExactly(second.fd(), 316, 30), HeaderBytes(316, 0x2000) + kData);
    EXPECT_EQ(sim.Finish().exitCode, 0);
}

TEST(SimSendFlow, XoffStopsTheOutputUntilXon) {
    ScratchDir dir;
    const std::string data = Pattern(2000, 1);
    Sim sim({"--send", dir.File("file", data), "--baud", "38400", "--wait-open", "--xonxoff", "--linger", "0"});
    PcSide pc(sim);
    std::string got = ReadExactly(pc.fd(), 200, 30);
    ASSERT_TRUE(WriteAll(pc.fd(), std::string(1, kXoff)));
    // While held, no more than what was already under way may come.
    std::string held = ReadUntilQuiet(pc.fd(), 0.5, 5);
    EXPECT_LT(held.size(), 200u);
    ASSERT_TRUE(WriteAll(pc.fd(), std::string(1, kXon)));
    got += held + ReadExactly(pc.fd(), 2016 - 200 - held.size(), 30);
    EXPECT_EQ(got, HeaderBytes(2016, 0x2000) + data);
    ProcessResult r = sim.Finish();
    EXPECT_TRUE(Contains(r.output, "flow: the PC said XOFF 1 time\n")) << r.output;
}

// ---- the sim sending to itself ----

struct LoopCase {
    const char* name;
    std::vector<std::string> args;  // for both ends
    bool text;
};
CASE_TABLE(SimLoop, LoopCase);

TEST_P(SimLoop, WhatOneSendsTheOtherLoads) {
    const LoopCase& c = GetParam();
    ScratchDir dir;
    const std::string data = c.text ? std::string("some text\r\n") + Pattern(900, 3) : Pattern(2500, 3);
    const std::string file = c.text ? data.substr(0, data.find('\x1A')) : data;
    Sim load(Joined(c.args, {"--save", dir.Path("saved"), "--idle", "2"}));
    ProcessResult sent = RunProcess(
        SimCommand(Joined(c.args, {"--send", dir.File("file", file), "--port", load.slave(), "--linger", "0"})));
    ProcessResult loaded = load.Finish();
    EXPECT_EQ(sent.exitCode, 0) << sent.output;
    EXPECT_EQ(loaded.exitCode, 0) << loaded.output;
    const std::string expected = c.text ? file + "\x1A" : file;
    EXPECT_EQ(ReadFile(dir.Path("saved")), expected);
}

INSTANTIATE_TEST_SUITE_P(Loop, SimLoop,
                         ::testing::Values(LoopCase{"Binary9600", {"--baud", "9600"}, false},
                                           LoopCase{"BinaryXonXoff38400", {"--baud", "38400", "--xonxoff"}, false},
                                           LoopCase{"Text38400", {"--baud", "38400", "--text"}, true}),
                         CaseName());

// ---- the command line ----

class SimUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SimUsage, IsRefusedWithStatusTwo) {
    ProcessResult r = RunProcess(SimCommand(GetParam()));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, "");  // nothing opened, nothing said on the output
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SimUsage,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"stray"},
                      std::vector<std::string>{"--baud"}, std::vector<std::string>{"--baud", "fast"},
                      std::vector<std::string>{"--load", "10000", "--send", "f"},
                      std::vector<std::string>{"--stop-after", "3"}, std::vector<std::string>{"--send", "f", "--idle", "1"},
                      std::vector<std::string>{"--send", "f", "--text", "--garbage"},
                      std::vector<std::string>{"--send", "f", "--short", "1", "--bad-size"},
                      std::vector<std::string>{"--xonxoff=yes"}, std::vector<std::string>{"--sessions", "0"},
                      std::vector<std::string>{"--burst", "8"}, std::vector<std::string>{"--send", "f", "--burst", "0"}));

TEST(SimUsage, HelpListsTheExitStatuses) {
    ProcessResult r = RunProcess(SimCommand({"--help"}));
    EXPECT_EQ(r.exitCode, 0);
    for (const char* line : {"  4  wrong magic", "  5  bad size", "  6  overrun", "  7  interrupted"})
        EXPECT_TRUE(Contains(r.output, line)) << line;
}

}  // namespace
