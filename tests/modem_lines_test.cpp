// DTR and RTS as the program drives them (--dtr, --rts), read through the
// modem-line shim preloaded into it: a pseudo-terminal has no modem lines,
// so the shim keeps them and logs every change of DTR and RTS. The kernel's
// own raise at open does not show here (see the QEMU stage for that).
#include <gtest/gtest.h>

#include "case_table.h"
#include "program_support.h"

namespace {

struct ModemCase {
    const char* name;
    std::vector<std::string> options;
    std::string log;  // the changes, in order; both lines start low
};

CASE_TABLE(ModemLinesTest, ModemCase);

TEST_P(ModemLinesTest, ChangesAsTheOptionsSay) {
    const ModemCase& c = GetParam();
    Pty pty;
    ScratchDir dir;
    ProcessOptions options;
    options.env = {"LD_PRELOAD=" MODEM_SHIM, "VELTA_SHIM_LOG=" + dir.Path("lines.log"), "VELTA_SHIM_RTS=1"};
    const LineRun run = RunSend(pty, Joined({dir.File("f.bin", Pattern(100)), "--exit-status"}, c.options), options);
    EXPECT_EQ(run.process.exitCode, 0) << run.process.errors;
    EXPECT_EQ(run.line, HeaderBytes(116, 0x2000) + Pattern(100));
    EXPECT_EQ(ReadFile(dir.Path("lines.log")), c.log);
}

INSTANTIATE_TEST_SUITE_P(
    Options, ModemLinesTest,
    ::testing::Values(ModemCase{"AsAlways", {}, "DTR 1\nRTS 1\nDTR 0\n"},
                      ModemCase{"DtrOn", {"--dtr", "on"}, "DTR 1\nRTS 1\nDTR 0\n"},
                      ModemCase{"DtrOffNeverRaisesIt", {"--dtr", "off"}, "RTS 1\n"},
                      ModemCase{"DtrKeepLeavesItRaised", {"--dtr=keep"}, "DTR 1\nRTS 1\n"},
                      ModemCase{"RtsOff", {"--rts", "off"}, "DTR 1\nDTR 0\n"},
                      ModemCase{"BothOff", {"--dtr", "off", "--rts", "off"}, ""},
                      // RTS is the handshake line's with -F1: not raised by hand.
                      ModemCase{"HardwareFlowLeavesRts", {"-F1"}, "DTR 1\nDTR 0\n"}),
    CaseName());

}  // namespace
