// The Win32 link over models of Windows serial drivers that Wine cannot
// play: velta_driver_model.exe (the program, its link calling a model through
// seam.h) runs under Wine once per model. Each row checks the console bytes,
// the exit status (--exit-status), what reached the line and in what order,
// the reason given on the error stream, and the model's own clock: how soon
// a vanished device ended the run, how soon a closed console let the process
// go, whether DTR dropped with bytes still on their way. Each model's figures
// (line efficiency, most bytes on their way, processor time) are printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "messages.h"
#include "wine_fixture.h"

namespace {

constexpr size_t kSendSize = 4000;  // about a second of line at 38400 bit/s

// How the run ends on the console.
enum class Ends {
    kSent,              // the whole send and its completion text
    kSendAborted,       // the send began, then the abort line; no completion text
    kOpenFailed,        // "OpenConnection failed."
    kPromptThenAbort,   // the reception prompt, then at once the abort line
    kReceived,          // the whole reception and its completion text
};

// What the line carried.
enum class Line { kWhole, kPrefix, kNothing };

struct ModelCase {
    const char* name;
    const char* model;        // VELTA_DRIVER_MODEL
    bool receive;
    size_t size;              // data bytes sent or received
    int status;               // with --exit-status; -1: either of the two after a closed console
    Ends ends;
    Line line;
    std::string reason;       // how the error stream begins (empty: it stays empty)
    long failWithinMs;        // from the device vanishing to the port closed; 0: not checked
    long closeWithinMs;       // from the close event to the handler's return; 0: not checked
    bool tailOnTheLine;       // DTR dropped only after the last byte left
};

void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.name; }

std::string Marks(int count) { return std::string(static_cast<size_t>(count), 'o'); }

std::string SendConsole(size_t size) {
    std::string text = Banner() + Format(kSendHeaderLine, 0x20, 0x00, 0x00, 0x00, static_cast<unsigned long>(size));
    for (int i = 0; i < 16; ++i) text += std::string(kHeaderByteWriting) + kHeaderByteSent;
    return text + kSendFrame;
}

// The text before the system's reason: "COM3 ...: ".
std::string ReasonLead(const char* format) {
    const std::string text = Format(format, "COM3", "");
    return text.substr(0, text.size() - 1);
}

class DriverModel : public WineTable<ModelCase> {
protected:
    // The program over the model, with the model's files in the case's folder.
    ProcessResult Run(const ModelCase& c) {
        const std::string program = Sibling("VELTA_WINE_EXE", "velta_driver_model.exe");
        std::vector<std::string> env = {std::string("VELTA_DRIVER_MODEL=") + c.model};
        for (const char* name : {"REPORT", "WIRE", "INPUT"}) env.push_back(std::string("VELTA_DRIVER_") + name + "=" + Path(name));
        return Start({c.receive ? "in.bin" : "out.bin", c.receive ? "-MR" : "-MS", "-B38400", "-P3", "--exit-status"}, env,
                     program)
            ->Wait(2 * kWineRunTimeout);
    }

};

TEST_P(DriverModel, BytesConsoleStatusAndTimes) {
    const ModelCase& c = GetParam();
    const std::string data = Pattern(c.size, 7);
    const std::string header = HeaderBytes(static_cast<uint32_t>(c.size + 16), 0x2000);
    Write(c.receive ? "INPUT" : "out.bin", c.receive ? header + data : data);

    ProcessResult r = Run(c);
    ASSERT_FALSE(r.timedOut);
    if (c.status >= 0)
        EXPECT_EQ(r.exitCode, c.status) << r.errors;
    else
        EXPECT_TRUE(r.exitCode == 58 || r.exitCode == 2) << r.exitCode;  // the system's end, or the program's

    const std::string done = Wine().Console(kSendDone), aborted = Wine().Console(kAborted);
    switch (c.ends) {
        case Ends::kSent:
            EXPECT_EQ(r.output, Wine().Console(SendConsole(c.size) + Marks(10) + kSendDone));
            break;
        case Ends::kSendAborted:
            EXPECT_EQ(r.output.rfind(Wine().Console(SendConsole(c.size)), 0), 0u) << r.output;
            EXPECT_EQ(r.output.find(done), std::string::npos) << r.output;
            EXPECT_EQ(Tail(r.output, aborted.size()), aborted);
            break;
        case Ends::kOpenFailed:
            EXPECT_EQ(r.output, Wine().Console(Banner() + kOpenFailed));
            break;
        case Ends::kPromptThenAbort:
            EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, 38400) + kAborted));
            break;
        case Ends::kReceived:
            EXPECT_EQ(r.output, Wine().Console(Banner() + Format(kReceivePrompt, 38400) + "\r" +
                                               Format(kReceiveHeaderLine, 0x2000, 0,
                                                      static_cast<unsigned long>(c.size)) +
                                               kReceiveFrame + Marks(10) + kReceiveDone));
            EXPECT_TRUE(Read("in.bin") == header + data) << "the received file differs";
            break;
    }
    // A transfer that ends complete tells the line's count and CRC-32 on the
    // error stream, and nothing else.
    const bool complete = c.ends == Ends::kSent || c.ends == Ends::kReceived;
    if (!c.reason.empty())
        EXPECT_EQ(r.errors.rfind(Wine().Console(c.reason), 0), 0u) << r.errors;
    else
        EXPECT_EQ(r.errors, complete ? Wine().Console(LineTallyText(header + data, true)) : "");
    // Only a tail that stood still is the device's holding.
    const std::string held = Wine().Console(Format(kTailHeld, 3));
    if (c.reason != Format(kTailHeld, 3)) {
        EXPECT_FALSE(Contains(r.errors, held)) << r.errors;
    }

    const std::string wire = Read("WIRE");
    const std::string sent = c.receive ? "" : header + data;
    switch (c.line) {
        case Line::kWhole:
            EXPECT_EQ(wire.size(), sent.size());
            EXPECT_TRUE(wire == sent) << "the line carried other bytes, or in another order";
            break;
        case Line::kPrefix:
            EXPECT_LT(wire.size(), sent.size());
            EXPECT_TRUE(sent.compare(0, wire.size(), wire) == 0) << "the line carried other bytes";
            break;
        case Line::kNothing:
            EXPECT_EQ(wire, "");
            break;
    }

    // The model's figures, by name; -1 for what did not happen.
    const auto f = [this](const std::string& name) { return Recorded("REPORT", name + " "); };
    if (c.failWithinMs) {
        ASSERT_GE(f("vanished_us"), 0) << "the device never vanished";
        EXPECT_LE(f("closed_us") - f("vanished_us"), c.failWithinMs * 1000) << "from the device gone to the port closed";
    }
    if (c.closeWithinMs) {
        ASSERT_GE(f("event_us"), 0);
        ASSERT_GE(f("handler_us"), 0) << "the handler never returned";
        EXPECT_LE(f("handler_us") - f("event_us"), c.closeWithinMs * 1000) << "from the close event to its end";
    }
    if (c.tailOnTheLine) {
        EXPECT_EQ(f("dtr_drops"), 1);
        EXPECT_EQ(f("tail_pending"), 0) << "bytes still on their way when DTR dropped";
    }
    // The figures for this model, for the record (speed is the benchmark's business).
    if (c.line == Line::kWhole && f("last_end_us") > f("first_write_us")) {
        const double ideal = (c.size + 16) * 10.0 / 38400 * 1e6;
        std::printf("[ figures  ] %s: line %.1f %%, most on their way %ld, processor %ld ms\n", c.name,
                    100 * ideal / static_cast<double>(f("last_end_us") - f("first_write_us")),
                    f("most_on_the_way"), f("cpu_us") / 1000);
    }
    if (c.failWithinMs || c.closeWithinMs)
        std::printf("[ figures  ] %s: failed %ld ms after the device vanished, handler done %ld ms after the event\n",
                    c.name, f("vanished_us") >= 0 ? (f("closed_us") - f("vanished_us")) / 1000 : -1,
                    f("event_us") >= 0 && f("handler_us") >= 0 ? (f("handler_us") - f("event_us")) / 1000 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Models, DriverModel,
    ::testing::Values(
        // The in-box driver on a 16550A, a full-speed USB adapter, and a
        // driver that completes writes into its own queue: every byte, in order,
        // all of it on the line before DTR drops.
        ModelCase{"InBoxUart", "uart", false, kSendSize, 0, Ends::kSent, Line::kWhole, "", 0, 0, true},
        ModelCase{"UsbAdapter", "usb", false, kSendSize, 0, Ends::kSent, Line::kWhole, "", 0, 0, true},
        ModelCase{"BufferingDriver", "buffered", false, kSendSize, 0, Ends::kSent, Line::kWhole, "", 0, 0, true},
        // An adapter that holds the last bytes in its chip (XOFF), counted
        // nowhere but in fXoffHold, for half a second.
        ModelCase{"HeldInTheChip", "usb,hold=4000,holdms=500", false, kSendSize, 0, Ends::kSent, Line::kWhole,
                  "", 0, 0, true},
        // Held for good: after 3 s without a byte leaving, what is held is
        // dropped and the send is a lost line, not a complete one.
        ModelCase{"HeldForGood", "usb,hold=4000", false, kSendSize, 6, Ends::kSendAborted, Line::kPrefix,
                  Format(kTailHeld, 3), 0, 0, false},
        // SetupComm's sizes are a recommendation: its refusal is no failure.
        ModelCase{"RefusesSetupComm", "uart,refuse=SetupComm", false, 300, 0, Ends::kSent, Line::kWhole, "", 0,
                  0, true},
        // Without timeouts a read could wait for ever: the open fails, with the reason.
        ModelCase{"RefusesSetCommTimeouts", "uart,refuse=SetCommTimeouts", false, 300, 3, Ends::kOpenFailed,
                  Line::kNothing, ReasonLead(kPortSettingsRefused), 0, 0, false},
        // Unplugged mid-send, and at the prompt with the wait left pending.
        ModelCase{"VanishesWhileSending", "usb,vanish=400", false, kSendSize, 6, Ends::kSendAborted, Line::kPrefix,
                  ReasonLead(kLineLostBecause), 1000, 0, false},
        // Unplugged while CTS holds the last bytes: a lost line, not a held one.
        ModelCase{"UnpluggedWhileTheTailIsHeld", "uart,hold=4000,unplug=2500", false, kSendSize, 6,
                  Ends::kSendAborted, Line::kPrefix, ReasonLead(kLineLostBecause), 1000, 0, false},
        // Gone the moment the driver has delivered the last byte (the device
        // runs what it loaded): the send is complete, and nothing is lost.
        ModelCase{"LeavesAfterTheLastByte", "usb,leave=4016", false, kSendSize, 0, Ends::kSent, Line::kWhole, "",
                  0, 0, false},
        ModelCase{"VanishesAtThePrompt", "uart,vanish=14", true, 100, 6, Ends::kPromptThenAbort, Line::kNothing,
                  ReasonLead(kLineLostBecause), 1000, 0, false},
        // An arrival on record from before the wait is no data: the prompt
        // stays until Ctrl+C, or until the data does come.
        ModelCase{"StaleArrivalThenCtrlC", "uart,stale,ctrlc=600", true, 100, 2, Ends::kPromptThenAbort,
                  Line::kNothing, "", 0, 0, false},
        ModelCase{"StaleArrivalThenData", "uart,stale,input=400", true, 3000, 0, Ends::kReceived, Line::kNothing,
                  "", 0, 0, false},
        // CTS held low and cancels that never complete, then the console
        // closed: the file closed, the abort shown and the handler done within 3 s.
        ModelCase{"CancelsNeverComplete", "uart,hold=1000,cancel=never,close=1200", false, kSendSize, -1,
                  Ends::kSendAborted, Line::kPrefix, "", 0, 3000, false}),
    CaseName());

}  // namespace
