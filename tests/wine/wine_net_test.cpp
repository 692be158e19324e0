// The Winsock side of the network link under Wine: velta_net_probe.exe (one
// NetSocket driven step by step, a test build beside VELTA.exe) against a
// TCP peer on the loopback played here. Each row checks the probe's lines
// and what the peer received: every byte value both ways, the server's
// close, a receive that hears nothing, a refused and an unanswered connect,
// a name that does not resolve, a send that must wait for room, and Ctrl+C
// ending a wait for data or for room.
#include <gtest/gtest.h>

#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "loopback_peer.h"
#include "wine_fixture.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) hex += {digits[b >> 4], digits[b & 15]};
    return hex;
}

// Every byte value, 0xFF (Telnet's IAC) among them, count times over.
std::string EveryByte(int count) {
    std::string bytes;
    for (int i = 0; i < 256 * count; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

// The probe's sendn pattern.
std::string SendPattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 % 256);
    return bytes;
}

constexpr size_t kPastBuffers = 32u << 20;  // more than the loopback's socket buffers hold

struct NetCase {
    const char* name;
    Peer peer;
    size_t takes;
    std::string answer;
    PeerEnd end;
    std::vector<std::string> steps;
    std::string lines;     // the probe's result lines
    std::string received;  // what the peer took
    const char* ctrlCAt = nullptr;  // Ctrl+C once the probe has begun this step
    const char* host = "127.0.0.1";
};

void PrintTo(const NetCase& c, std::ostream* out) { *out << c.name; }

using WineNetSocket = WineTable<NetCase>;

// The result lines, without the "> step" lines that announce each step,
// and with the console's CR LF as LF.
std::string ResultLines(const std::string& output) {
    std::istringstream in(output);
    std::string line, lines;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("> ", 0) != 0) lines += line + "\n";
    }
    return lines;
}

TEST_P(WineNetSocket, StepsAndBytes) {
    const NetCase& c = GetParam();
    LoopbackPeer peer(c.peer, c.takes, c.answer, c.end);
    std::vector<std::string> args = {c.host, std::to_string(peer.port())};
    args.insert(args.end(), c.steps.begin(), c.steps.end());
    auto probe = Start(args, {}, Sibling("VELTA_WINE_EXE", "velta_net_probe.exe"));
    if (c.ctrlCAt) {
        const std::string announced = std::string("> ") + c.ctrlCAt + Wine().Newline();
        ASSERT_TRUE(probe->WaitForOutput(announced, kWineRunTimeout)) << probe->output();
        probe->Signal(SIGINT);
    }
    ProcessResult r = Finish(*probe, 0);
    EXPECT_EQ(ResultLines(r.output), c.lines) << r.errors;
    const std::string received = peer.Received();
    EXPECT_EQ(received.size(), c.received.size());
    EXPECT_TRUE(received == c.received);  // not printed: it may be megabytes
}

const std::string kAll = EveryByte(1);

INSTANTIATE_TEST_SUITE_P(
    Wine, WineNetSocket,
    ::testing::Values(
        NetCase{"EveryByteBothWays", Peer::kAnswers, 512, kAll, PeerEnd::kHolds,
                {"connect:10000", "send:" + Hex(EveryByte(2)), "recv:256:10000"},
                "connect ok\nsend ok\nrecv " + Hex(kAll) + " ok\n", EveryByte(2)},
        // The bytes before the close are all read first; then every call says closed.
        NetCase{"ServerClosesAfterItsBytes", Peer::kAnswers, 0, std::string("\xFF\0", 2), PeerEnd::kCloses,
                {"connect:10000", "recv:10:10000", "recv:1:0"}, "connect ok\nrecv ff00 closed\nrecv - closed\n", ""},
        NetCase{"ReceiveHearsNothing", Peer::kAnswers, 0, "", PeerEnd::kHolds, {"connect:10000", "recv:1:300", "recv:1:0"},
                "connect ok\nrecv - none\nrecv - none\n", ""},
        NetCase{"RefusedConnect", Peer::kNobody, 0, "", PeerEnd::kHolds, {"connect:10000"}, "connect 10061\n", ""},
        NetCase{"UnansweredConnectIsBounded", Peer::kQueueFull, 0, "", PeerEnd::kHolds, {"connect:500"},
                "connect timed-out\n", ""},
        NetCase{"NameThatDoesNotResolve", Peer::kNobody, 0, "", PeerEnd::kHolds, {"connect:10000"}, "connect no-host\n", "",
                nullptr, "no-such-host.invalid"},
        // "localhost" may name ::1 first, where nothing listens.
        NetCase{"EachAddressOfTheNameTried", Peer::kAnswers, 1, "", PeerEnd::kHolds, {"connect:10000", "send:ff"},
                "connect ok\nsend ok\n", "\xFF", nullptr, "localhost"},
        // Wine may take a send that does not fit whole and finish it in the
        // background, which the process's end would cut short: the peer's
        // answer says it has everything.
        NetCase{"SendWaitsForRoom", Peer::kSlow, kPastBuffers, "\x01", PeerEnd::kHolds,
                {"connect:10000", "sendn:" + std::to_string(kPastBuffers), "recv:1:60000"},
                "connect ok\nsendn ok\nrecv 01 ok\n", SendPattern(kPastBuffers)},
        NetCase{"CtrlCEndsTheWaitForData", Peer::kAnswers, 0, "", PeerEnd::kHolds, {"ctrlc", "connect:10000", "recv:1:-"},
                "ctrlc ready\nconnect ok\nrecv - aborted\n", "", "recv"},
        // The peer takes nothing: the send fills the buffers and waits for room.
        NetCase{"CtrlCEndsTheWaitForRoom", Peer::kAnswers, 0, "", PeerEnd::kHolds,
                {"ctrlc", "connect:10000", "sendn:" + std::to_string(2 * kPastBuffers)},
                "ctrlc ready\nconnect ok\nsendn aborted\n", "", "sendn"}),
    [](const ::testing::TestParamInfo<NetCase>& info) { return std::string(info.param.name); });

}  // namespace
