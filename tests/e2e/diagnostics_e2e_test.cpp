// velta against velta-sim for what --exit-status and --progress add: the
// status of each way a run can end, and the progress line of a paced
// reception. Runs against the native program and, with VELTA_TARGET=wine,
// against VELTA.exe.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "case_table.h"
#include "console_text.h"
#include "sim_driver.h"

namespace {

const std::string kData = Pattern(600, 21);

// ---- --exit-status ----

struct StatusCase {
    const char* name;
    std::function<ProcessResult(ScratchDir&)> run;  // one run with --exit-status
    int status;
};
CASE_TABLE(ExitStatusTable, StatusCase);

TEST_P(ExitStatusTable, TellsWhyTheRunEnded) {
    ScratchDir dir;
    const ProcessResult r = GetParam().run(dir);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, GetParam().status) << r.output << r.errors;
}

// The device sends kData (with faults) once the program has opened the port.
ProcessResult ReceiveFromDevice(ScratchDir& dir, std::vector<std::string> faults,
                                const std::vector<std::string>& options = {}) {
    Sim sim(Joined({"--send", dir.File("device.bin", kData), "--baud", "38400", "--wait-open", "--linger", "0.5"},
                   faults));
    ProcessResult r = RunVelta(sim, Joined({dir.Path("in.bin"), "-MR", "-B38400", "--exit-status"}, options));
    sim.Stop();  // one that lingers, silent, is not waited for
    sim.Finish();
    return r;
}

ProcessResult SendToDevice(const std::string& file) {
    Sim sim({"--baud", "38400", "--idle", "1"});
    ProcessResult r = RunVelta(sim, {file, "-B38400", "--exit-status"});
    sim.Stop();
    sim.Finish();
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ExitStatusTable,
    ::testing::Values(
        StatusCase{"SendComplete", [](ScratchDir& d) { return SendToDevice(d.File("out.bin", kData)); }, 0},
        StatusCase{"ReceiveComplete", [](ScratchDir& d) { return ReceiveFromDevice(d, {}); }, 0},
        StatusCase{"InterruptedAtThePrompt",
                   [](ScratchDir& d) {
                       Sim sim({"--send", d.File("device.bin", kData), "--wait-stdin"});
                       auto velta = StartVelta(sim, {d.Path("in.bin"), "-MR", "--exit-status"});
                       EXPECT_TRUE(velta->WaitForOutput(Format(kReceivePrompt, 9600)));
                       Interrupt(*velta);
                       ProcessResult r = velta->Wait(60);
                       sim.Stop();
                       sim.Finish();
                       return r;
                   },
                   2},
        // COM0 (-P256) is never there, nor is /dev/ttyS-1.
        StatusCase{"PortMissing",
                   [](ScratchDir& d) { return RunProgram({d.File("out.bin", kData), "-P256", "--exit-status"}); },
                   3},
        StatusCase{"FileMissing", [](ScratchDir& d) { return SendToDevice(d.Path("no-such.bin")); }, 4},
        StatusCase{"RefusedBeforeSending",
                   [](ScratchDir& d) { return SendToDevice(d.File("bad.bin", HeaderBytes(15, 0x2000) + kData)); },
                   5},
        StatusCase{"LineLostInTheData", [](ScratchDir& d) { return ReceiveFromDevice(d, {"--stop-after", "100"}); },
                   6},
        StatusCase{"HeaderSizeBelowSixteen", [](ScratchDir& d) { return ReceiveFromDevice(d, {"--bad-size"}); }, 6},
        // The device falls silent after 100 bytes but keeps the line open.
        StatusCase{"ReceptionTimedOut",
                   [](ScratchDir& d) {
                       return ReceiveFromDevice(d, {"--stop-after", "100", "--linger", "30"}, {"--timeout", "2"});
                   },
                   7}),
    CaseName());

// ---- --timeout ----

// A device that never starts: the prompt waits the seconds given, not for
// ever, and the run ends as an abort with its own reason and status.
TEST(Timeout, SilentDeviceEndsTheReceptionAfterTheSecondsGiven) {
    ScratchDir dir;
    Sim sim({"--send", dir.File("device.bin", kData), "--wait-stdin"});
    ASSERT_TRUE(sim.WaitFor("waiting:"));
    const double start = Now();
    const ProcessResult r = RunVelta(sim, {dir.Path("in.bin"), "-MR", "--timeout", "2", "--exit-status"}, 60);
    const double seconds = Now() - start;
    sim.Stop();
    sim.Finish();
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_GE(seconds, 2.0);  // never before the time given; how much after is the machine's load
    EXPECT_EQ(r.output, Console(Banner() + Format(kReceivePrompt, 9600) + kAborted));
    EXPECT_EQ(r.errors, Console(Format(kTimedOut, 2ul)));
    EXPECT_EQ(ReadFile(dir.Path("in.bin")), "");
}

// In the middle of the data: what arrived stays in the file, as on Ctrl+C.
TEST(Timeout, SilenceMidTransferKeepsWhatArrived) {
    ScratchDir dir;
    const ProcessResult r = ReceiveFromDevice(dir, {"--stop-after", "100", "--linger", "30"}, {"--timeout", "1"});
    EXPECT_EQ(r.exitCode, 7);
    const std::string line = HeaderBytes(16 + static_cast<uint32_t>(kData.size()), 0x2000) + kData.substr(0, 84);
    EXPECT_EQ(ReadFile(dir.Path("in.bin")), line);
    EXPECT_EQ(r.errors, Console(Format(kTimedOut, 1ul) + LineTallyText(line, true)));
}

// ---- the line's CRC-32, beside the simulator's ----

// Both programs name the data by the same CRC-32: velta's line and the
// simulator's report are checked against the bytes that were meant.
TEST(LineChecksum, SendMatchesTheSimulatorsCrc) {
    ScratchDir dir;
    Sim sim({"--baud", "38400"});
    ASSERT_TRUE(sim.WaitFor("ready:"));
    const ProcessResult r = RunVelta(sim, {dir.File("out.bin", kData), "-B38400", "-S4000"});
    const ProcessResult device = sim.Finish();
    const std::string complete = ReportLine(device.output, "complete:");
    ASSERT_EQ(complete, CompleteLine(kData, 0x4000, 0));
    EXPECT_EQ(r.errors, Console(LineTallyText(HeaderBytes(616, 0x4000) + kData, true)));
    EXPECT_NE(complete.find(Format("crc32 %08X", Crc(kData))), std::string::npos);
}

TEST(LineChecksum, ReceptionMatchesTheSimulatorsCrc) {
    ScratchDir dir;
    Sim sim({"--send", dir.File("device.bin", kData), "--baud", "38400", "--wait-open", "--linger", "0.5"});
    ASSERT_TRUE(sim.WaitFor("waiting:"));
    const ProcessResult r = RunVelta(sim, {dir.Path("in.bin"), "-MR", "-B38400"});
    const ProcessResult device = sim.Finish();
    const std::string sending = ReportLine(device.output, "sending:");
    ASSERT_NE(sending.find(Format("crc32 %08X", Crc(kData))), std::string::npos) << sending;
    EXPECT_EQ(r.errors, Console(LineTallyText(HeaderBytes(616, 0x2000) + kData, true)));
}

// ---- --progress ----

struct Update {
    unsigned long percent, done, total;
};

// The redraws before the summary, each led by a carriage return.
std::vector<Update> Updates(const std::string& errors, std::string* summary) {
    const size_t end = errors.find('\n');
    *summary = end == std::string::npos ? "" : errors.substr(end + 1);
    std::vector<Update> updates;
    size_t at = 0;
    while ((at = errors.find('\r', at)) != std::string::npos && at < end) {
        Update u{};
        if (std::sscanf(errors.c_str() + at + 1, "%lu%% %lu / %lu", &u.percent, &u.done, &u.total) == 3)
            updates.push_back(u);
        ++at;
    }
    return updates;
}

// 3000 bytes at 9600 bit/s take about three seconds on the line.
TEST(Progress, PacedReceptionRedrawsForwardAndEndsAtAHundredPercent) {
    ScratchDir dir;
    const std::string data = Pattern(3000, 22);
    Sim sim({"--send", dir.File("device.bin", data), "--baud", "9600", "--wait-open", "--sessions", "2",
                  "--linger", "0"});
    const double start = Now();
    const ProcessResult shown = RunVelta(sim, {dir.Path("a.bin"), "-MR", "--progress"});
    const double seconds = Now() - start;
    const ProcessResult plain = RunVelta(sim, {dir.Path("b.bin"), "-MR"});
    sim.Finish();

    EXPECT_EQ(shown.exitCode, 1);
    EXPECT_EQ(shown.output, plain.output);
    EXPECT_EQ(plain.errors, Console(LineTallyText(HeaderBytes(3016, 0x2000) + data, true)));
    EXPECT_EQ(ReadFile(dir.Path("a.bin")), ReadFile(dir.Path("b.bin")));
    std::string summary;
    const std::vector<Update> updates = Updates(shown.errors, &summary);
    ASSERT_GE(updates.size(), 3u) << shown.errors;
    EXPECT_LE(updates.size(), 4 * seconds + 2) << "more than four redraws a second";
    for (size_t i = 1; i < updates.size(); ++i) {
        EXPECT_GE(updates[i].percent, updates[i - 1].percent);
        EXPECT_GE(updates[i].done, updates[i - 1].done);
    }
    EXPECT_EQ(updates.front().done, 0u);
    EXPECT_EQ(updates.back().percent, 100u);
    EXPECT_EQ(updates.back().done, 3000u);
    EXPECT_EQ(updates.back().total, 3000u);
    unsigned long bytes = 0;
    ASSERT_EQ(std::sscanf(summary.c_str(), "%lu", &bytes), 1) << summary;
    EXPECT_EQ(bytes, 3000u);
    // Seconds and bit/s: the line cannot be faster than 9600 bit/s.
    const std::string bitsLabel = " bit/s";
    ASSERT_NE(summary.find(bitsLabel), std::string::npos) << summary;
    const size_t rateAt = summary.rfind(' ', summary.find(bitsLabel) - 1);
    const unsigned long rate = std::strtoul(summary.c_str() + rateAt + 1, nullptr, 10);
    EXPECT_GT(rate, 4000u);
    EXPECT_LE(rate, 9600u * 11 / 10);
}

// The lines a terminal shows once it has taken text: a carriage return goes
// back to the start of the line, a line feed to the start of the next, and
// everything else overwrites what stood there.
std::vector<std::string> Screen(const std::string& text) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (char c : text) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (c != '\a') {
            std::string& line = lines.back();
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    return lines;
}

// Both streams on one terminal: the figures stand beside the bar, whose
// marks still land on their dashes.
TEST(Progress, OnATerminalSharedWithStandardOutputTheFiguresStandBesideTheBar) {
    if (CurrentTarget().Name() != "native") GTEST_SKIP() << "a console of its own under Wine";
    ScratchDir dir;
    Sim sim({"--send", dir.File("device.bin", Pattern(2000, 23)), "--baud", "19200", "--wait-open"});
    const ProcessResult r = RunProcess(Joined({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"},
                                              CurrentTarget().Command({dir.Path("in.bin"), "-MR", "-B19200",
                                                                       "--progress", sim.PortOption()})),
                                       TargetOptions(true), 120);
    sim.Finish();
    EXPECT_EQ(r.exitCode, 1);
    std::string barLine;
    for (const std::string& line : Screen(r.output))
        if (line.rfind("|o", 0) == 0) barLine = line;
    EXPECT_EQ(barLine.rfind("|oooooooooo| 100% 2000 / 2000 ", 0), 0u) << barLine;
    // No mark strayed past the figures (the CP932 bytes of the text hold an 'o' of their own).
    const size_t rateEnd = barLine.find(" bit/s");
    ASSERT_NE(rateEnd, std::string::npos) << barLine;
    EXPECT_EQ(barLine.find('o', rateEnd), std::string::npos) << barLine;
}

}  // namespace
