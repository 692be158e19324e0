// net: the link to a device behind a network serial server (ser2net, a
// hardware serial server). With rfc2217:// it speaks Telnet with COM port
// control: the line's rate, format and handshaking are the server's to set,
// IAC is doubled in the data, and the server's commands may come in the
// middle of the data. With socket:// the TCP stream is the line, and there
// is no control channel at all.
//
// Neither kind of server reports how much it still holds for the line, and
// a client that writes freely has hundreds of KB queued in the socket, the
// server and its port within a second: an XOFF from the device, an abort or
// the end of a send then comes far too late. So the bytes go at the line
// rate by the line clock, at most a FIFO ahead (the rule the serial links
// share), and with COM port control a cheap request goes out every so many
// bytes, its answer telling how far the server has read: no more than about
// 1 KB is ever unanswered.
#include "net_link.h"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <deque>
#include <vector>

#include "console.h"
#include "line_rate.h"
#include "net_socket.h"
#include "output_pacing.h"

namespace {

// Telnet (RFC 854, 855) and its options.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kEcho = 1, kSga = 3, kComPort = 44;
// COM port control (RFC 2217): the client's commands; the server answers
// each with its code + 100.
constexpr uint8_t kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5;
constexpr uint8_t kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kAnswer = 100;
// SET-CONTROL values, PARITY and PURGE-DATA values.
constexpr uint8_t kNoFlow = 1, kXonXoffFlow = 2, kHardwareFlow = 3, kDtrOn = 8, kDtrOff = 9, kRtsOn = 11,
                  kRtsOff = 12;
constexpr uint8_t kParityNone = 1, kPurgeBoth = 3;
constexpr uint8_t kXon = 0x11, kXoff = 0x13;

constexpr uint32_t kConnectMs = 10000;
// The answers to the settings, and to the request after the last byte.
constexpr uint32_t kAnswerMs = 5000;
// A request whose answer marks how far the server has read, every so many
// bytes; the writer waits while the oldest unanswered one is this far back.
constexpr uint64_t kProbeEvery = 256;
constexpr uint64_t kMaxUnanswered = 1024;

long long MsToNs(uint32_t ms) { return static_cast<long long>(ms) * 1000000LL; }

}  // namespace

namespace {

bool ParseHostPort(const std::string& rest, NetAddress* out) {
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {  // [v6 address]:port
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        out->host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        out->host = rest.substr(0, colon);
    }
    out->port = rest.substr(colon + 1);
    // A trailing slash or option part, as other programs' URLs may carry.
    const size_t end = out->port.find_first_of("/?");
    if (end != std::string::npos) out->port.resize(end);
    return !out->host.empty() && !out->port.empty();
}

void Put(std::vector<uint8_t>& out, uint8_t byte) {
    out.push_back(byte);
    if (byte == kIac) out.push_back(kIac);  // IAC in data or a value is doubled
}

// IAC SB COM-PORT-OPTION command value... IAC SE
std::vector<uint8_t> ComPortCommand(uint8_t command, std::initializer_list<uint8_t> value) {
    std::vector<uint8_t> out = {kIac, kSb, kComPort, command};
    for (uint8_t byte : value) Put(out, byte);
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
}

bool Accepted(uint8_t option) { return option == kBinary || option == kSga || option == kComPort; }

}  // namespace

bool ParseNetAddress(const char* value, NetAddress* out) {
    if (!IsNetworkPort(value)) return false;
    const std::string url = value;
    out->telnet = url.compare(0, 10, "rfc2217://") == 0;
    return ParseHostPort(url.substr(out->telnet ? 10 : 9), out);
}

void ExplainNetworkFailure(const std::string& name, int error) {
    const char* host = name.c_str();
    const int answerSeconds = static_cast<int>(kAnswerMs / 1000);
    switch (error) {
        case NetSocket::kAborted: return;  // the abort line says it
        case NetSocket::kClosed: ConsoleError(kNetClosed, host); return;
        case NetSocket::kTimedOut: ConsoleError(kNetTimedOut, host); return;
        case NetSocket::kNoHost: ConsoleError(kNetNoHost, host); return;
        case NetLink::kNoComPort: ConsoleError(kNetNoComPort, host); return;
        case NetLink::kNoAnswer: ConsoleError(kNetNoAnswer, host, answerSeconds); return;
        case NetLink::kBadAddress: ConsoleError(kNetBadAddress, host); return;
        default: ConsoleError(kNetFailed, host, NetSocket::Describe(error).c_str()); return;
    }
}


struct NetLink::State {
    explicit State(NetSocket& s) : socket(s) {}
    NetSocket& socket;
    bool telnet = false;
    uint8_t flow = 0;
    ModemLine dtr = ModemLine::kOn;
    OutputPacing pacing;
    bool wrote = false;     // bytes went out since the last FinishSending
    bool xoffHeld = false;  // the device's XOFF came and its XON has not
    bool told = false;      // the connection's failure is on the error stream
    int error = 0;          // why the last step failed: a NetSocket or NetLink code

    // The Telnet decoder's place in the stream.
    enum class In { kData, kIac, kOption, kSub, kSubIac } in = In::kData;
    uint8_t verb = 0;
    std::vector<uint8_t> sub;
    // Per option, on the server's side (WILL) and ours (DO): enabled, asked
    // for by us and not yet answered, refused (so that it is refused once).
    bool theirs[256] = {}, ours[256] = {}, askedTheirs[256] = {}, askedOurs[256] = {};
    bool refusedTheirs[256] = {}, refusedOurs[256] = {};

    std::vector<uint8_t> input;  // received data not yet taken
    size_t inputStart = 0;
    std::vector<uint8_t> replies;  // negotiation answers still to send
    bool rateAnswered = false;
    uint64_t sent = 0;                // data bytes written
    std::deque<uint64_t> unanswered;  // the byte count at each DATASIZE request not yet answered

    size_t Buffered() const { return input.size() - inputStart; }
    static long long Now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    bool Fail(int code) {
        error = code;
        return false;
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return socket.SendAll(bytes.data(), bytes.size()) || Fail(socket.Error());
    }
    // Tells why the connection failed, once (an abort says nothing); 0 for
    // CommLink's result.
    int Failed(const std::string& name) {
        if (!told && !abortRequested.load() && error != NetSocket::kAborted) ExplainNetworkFailure(name, error);
        told = true;
        return 0;
    }

    // Reads what has come within timeoutMs (0: only what is here;
    // NetSocket::kForever: no bound) and decodes it. False when the
    // connection failed or an abort came; nothing in time is no failure.
    bool Pump(uint32_t timeoutMs) {
        uint8_t raw[4096];
        const long got = socket.Receive(raw, sizeof raw, timeoutMs);
        if (got < 0) return Fail(socket.Error());
        for (long i = 0; i < got; ++i) Decode(raw[i]);
        if (replies.empty()) return true;
        const bool ok = Send(replies);
        replies.clear();
        return ok;
    }
    // Pumps until done() holds, for at most timeoutMs (kForever: no bound).
    // False on failure, abort or the bound (error kTimedOut).
    template <typename Done>
    bool AwaitUntil(Done done, uint32_t timeoutMs) {
        const long long deadline = timeoutMs == NetSocket::kForever ? -1 : Now() + MsToNs(timeoutMs);
        while (!done()) {
            uint32_t waitMs = NetSocket::kForever;
            if (deadline >= 0) {
                const long long left = deadline - Now();
                if (left <= 0) return Fail(NetSocket::kTimedOut);
                waitMs = static_cast<uint32_t>((left + 999999) / 1000000);
            }
            if (!Pump(waitMs)) return false;
        }
        return true;
    }

    void Decode(uint8_t byte);
    void Negotiate(uint8_t option);
    void Answered();
    void Data(uint8_t byte) {
        if ((flow & kFlowXonXoffOut) && (byte == kXoff || byte == kXon)) xoffHeld = byte == kXoff;
        input.push_back(byte);
    }
    // While sending, what the device sends is read only for its XOFF and XON.
    void DropInput() {
        input.clear();
        inputStart = 0;
    }
    bool Backlogged() const { return !unanswered.empty() && sent - unanswered.front() >= kMaxUnanswered; }
    bool AwaitRoom();
    bool AwaitTail();
    // At the end of a send, a server that closes in order (its port went
    // away once the device had everything) has read all that was sent, and
    // drains it itself before it lets go of the port.
    bool ClosedOrderly() const { return error == NetSocket::kClosed && !xoffHeld; }
};

void NetLink::State::Decode(uint8_t byte) {
    if (!telnet) return Data(byte);
    switch (in) {
        case In::kData:
            if (byte == kIac)
                in = In::kIac;
            else
                Data(byte);
            return;
        case In::kIac:
            in = In::kData;
            if (byte == kIac) {
                Data(byte);
            } else if (byte >= kWill && byte <= kDont) {
                verb = byte;
                in = In::kOption;
            } else if (byte == kSb) {
                sub.clear();
                in = In::kSub;
            }  // NOP, GA and the other commands carry nothing for us
            return;
        case In::kOption:
            Negotiate(byte);
            in = In::kData;
            return;
        case In::kSub:
            if (byte == kIac)
                in = In::kSubIac;
            else if (sub.size() < 64)
                sub.push_back(byte);
            return;
        case In::kSubIac:
            in = byte == kIac ? In::kSub : In::kData;
            if (byte == kIac && sub.size() < 64) sub.push_back(byte);
            if (byte == kSe) Answered();
            return;
    }
}

// One WILL, WONT, DO or DONT from the server. BINARY, SGA and COM port
// control are taken both ways, everything else (ECHO above all: the server
// would send our data back) refused; an option already in the state asked
// for gets no answer, so two sides never loop (RFC 1143's rule, simply).
void NetLink::State::Negotiate(uint8_t option) {
    const bool serverSide = verb == kWill || verb == kWont;
    const bool enable = verb == kWill || verb == kDo;
    bool& on = serverSide ? theirs[option] : ours[option];
    bool& asked = serverSide ? askedTheirs[option] : askedOurs[option];
    bool& refused = serverSide ? refusedTheirs[option] : refusedOurs[option];
    const uint8_t yes = serverSide ? kDo : kWill, no = serverSide ? kDont : kWont;
    auto reply = [this, option](uint8_t answer) { replies.insert(replies.end(), {kIac, answer, option}); };
    if (enable && Accepted(option)) {
        if (!on && !asked) reply(yes);
        on = true;
    } else if (enable) {
        if (!refused) reply(no);
        refused = true;
    } else {
        if (on && !asked) reply(no);
        on = false;
        refused = true;
    }
    asked = false;
}

// A COM port control answer: the rate's; a DATASIZE request's, which
// marks how far the server has read; the purge's, before which nothing
// received is ours.
void NetLink::State::Answered() {
    if (sub.size() < 2 || sub[0] != kComPort) return;
    if (sub[1] == kAnswer + kPurgeData) DropInput();
    if (sub[1] == kAnswer + kSetBaudRate) rateAnswered = true;
    if (sub[1] == kAnswer + kSetDataSize && !unanswered.empty()) unanswered.pop_front();
}

// Before a byte: what came is read (XOFF, answers), then the writer waits
// while the device's XOFF stands, while the server is too far behind, and
// until the line clock has room. After a hold the clock starts again from
// now (OutputPacing::Written), so nothing goes out in a burst to catch up.
bool NetLink::State::AwaitRoom() {
    if (!Pump(0)) return false;
    RoomWait room(pacing);
    for (;;) {
        uint32_t waitMs = NetSocket::kForever;
        if (!xoffHeld && !Backlogged()) {
            const long long ns = room.Next(pacing, 0, Now());
            if (ns == 0) break;
            waitMs = static_cast<uint32_t>((ns + 999999) / 1000000);
        }
        if (!Pump(waitMs)) return false;
    }
    DropInput();
    return true;
}

// After the last byte: with COM port control, a request after it and its
// answer (the server has read everything); a device's XOFF that stands is
// waited out too. Either, standing still for TailWait's bound, is a held
// line. Then the line's time for what the clock has ahead, and a FIFO's.
bool NetLink::State::AwaitTail() {
    TailWait tail;
    if (telnet) {
        if (!Send(ComPortCommand(kSetDataSize, {0}))) return false;
        unanswered.push_back(sent);
    }
    while (!unanswered.empty() || xoffHeld) {
        const long long left = static_cast<long long>(unanswered.size()) + (xoffHeld ? 1 : 0);
        if (tail.Observe(left, Now()) == TailWait::State::kHeld) return Fail(NetSocket::kTimedOut);
        if (!Pump(20)) return ClosedOrderly();
    }
    // The server may have passed the last bytes to its port only as it read
    // the request, later than the line clock says when we ran behind it; and
    // ser2net 4.3 flushes its port at our close without a drain first (seen
    // on a pseudo-terminal), so the line time counts from then too.
    const long long end = std::max(pacing.lineFree, Now()) + (OutputPacing::kFifo + 2) * pacing.charNs;
    while (Now() < end)
        if (!Pump(static_cast<uint32_t>((end - Now() + 999999) / 1000000))) return ClosedOrderly();
    DropInput();
    return true;
}

NetLink::NetLink() : socket(new NetSocket), state(new State(*socket)) {}

NetLink::~NetLink() = default;

std::unique_ptr<NetLink> NetLink::Open(const char* url, uint32_t baudRate, uint8_t flowControl, ModemLine dtr,
                                       ModemLine rts, CommLink::OpenFailure* failure) {
    *failure = {url, CommLink::OpenStep::kNetwork, kBadAddress, ""};
    NetAddress address;
    if (!ParseNetAddress(url, &address)) return nullptr;
    std::unique_ptr<NetLink> link(new NetLink);
    link->name = address.host.find(':') == std::string::npos ? address.host + ":" + address.port
                                                             : "[" + address.host + "]:" + address.port;
    failure->device = link->name;
    if (!link->Start(address, baudRate, flowControl, dtr, rts)) {
        failure->error = link->state->error;
        return nullptr;
    }
    *failure = {};
    return link;
}

// The Telnet negotiation, then the line's settings; the open succeeds once
// the server has answered the rate. DTR and RTS requests go unanswered on
// ports without modem lines, so nothing waits for them.
bool NetLink::Start(const NetAddress& address, uint32_t baudRate, uint8_t flowControl, ModemLine dtr,
                    ModemLine rts) {
    State& s = *state;
    s.telnet = address.telnet;
    s.flow = flowControl;
    s.dtr = dtr;
    // Always at most a FIFO ahead of the line clock: nothing counts what the
    // server holds, and the device's XOFF must find little in flight.
    s.pacing.Reset(LineCharacterNs(baudRate, 8, 0, 1), true);
    if (!socket->Connect(address.host, address.port, kConnectMs)) return s.Fail(socket->Error());
    if (!s.telnet) return true;
    s.askedOurs[kBinary] = s.askedTheirs[kBinary] = s.askedOurs[kSga] = s.askedTheirs[kSga] = true;
    s.askedOurs[kComPort] = true;
    if (!s.Send({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSga, kIac, kDo, kSga, kIac, kWill,
                 kComPort}))
        return false;
    if (!s.AwaitUntil([&s] { return s.ours[kComPort] || s.refusedOurs[kComPort]; }, kAnswerMs))
        return s.error == NetSocket::kTimedOut ? s.Fail(kNoComPort) : false;
    if (!s.ours[kComPort]) return s.Fail(kNoComPort);
    const uint8_t control = (flowControl & kFlowCtsRts)       ? kHardwareFlow
                            : (flowControl & kFlowXonXoffOut) ? kXonXoffFlow
                                                              : kNoFlow;
    std::vector<uint8_t> out;
    auto add = [&out](const std::vector<uint8_t>& command) { Append(out, command); };
    // Whatever the server held before is not ours: what comes after its
    // answer is (the device may start as soon as the server opens its port).
    add(ComPortCommand(kPurgeData, {kPurgeBoth}));
    add(ComPortCommand(kSetBaudRate, {static_cast<uint8_t>(baudRate >> 24), static_cast<uint8_t>(baudRate >> 16),
                                      static_cast<uint8_t>(baudRate >> 8), static_cast<uint8_t>(baudRate)}));
    add(ComPortCommand(kSetDataSize, {8}));
    s.unanswered.push_back(0);
    add(ComPortCommand(kSetParity, {kParityNone}));
    add(ComPortCommand(kSetStopSize, {1}));
    add(ComPortCommand(kSetControl, {control}));
    // Nobody reads the line's or the modem's state: notices of it would
    // only come between the data.
    add(ComPortCommand(kSetLineStateMask, {0}));
    add(ComPortCommand(kSetModemStateMask, {0}));
    add(ComPortCommand(kSetControl, {dtr == ModemLine::kOff ? kDtrOff : kDtrOn}));
    if (control != kHardwareFlow) add(ComPortCommand(kSetControl, {rts == ModemLine::kOff ? kRtsOff : kRtsOn}));
    if (!s.Send(out)) return false;
    if (!s.AwaitUntil([&s] { return s.rateAnswered; }, kAnswerMs))
        return s.error == NetSocket::kTimedOut ? s.Fail(kNoAnswer) : false;
    return true;
}

int NetLink::WriteByte(int byte) {
    State& s = *state;
    if (abortRequested.load() || s.told) return 0;
    if (!s.AwaitRoom()) return s.Failed(name);
    std::vector<uint8_t> out;
    if (s.telnet)
        Put(out, static_cast<uint8_t>(byte));
    else
        out.push_back(static_cast<uint8_t>(byte));
    s.pacing.Written(State::Now());
    s.wrote = true;
    if (s.telnet && ++s.sent % kProbeEvery == 0) {
        Append(out, ComPortCommand(kSetDataSize, {0}));  // asks, changes nothing
        s.unanswered.push_back(s.sent);
    }
    return s.Send(out) ? 1 : s.Failed(name);
}

int NetLink::WaitForData(uint32_t timeoutMs, bool& timedOut) {
    State& s = *state;
    if (abortRequested.load() || s.told) return 0;
    if (s.AwaitUntil([&s] { return s.Buffered() > 0; }, timeoutMs ? timeoutMs : NetSocket::kForever)) return 1;
    if (s.error != NetSocket::kTimedOut) return s.Failed(name);
    timedOut = true;
    return 0;
}

int NetLink::FillReceiveBuffer(uint8_t* buffer, uint32_t cap, uint32_t& count, uint32_t timeoutMs,
                               bool& timedOut) {
    count = 0;
    if (!WaitForData(timeoutMs, timedOut)) return 0;
    State& s = *state;
    const size_t n = std::min<size_t>(cap, s.Buffered());
    std::copy_n(s.input.begin() + static_cast<long>(s.inputStart), n, buffer);
    s.inputStart += n;
    if (s.inputStart == s.input.size()) s.DropInput();
    count = static_cast<uint32_t>(n);
    return 1;
}

int NetLink::FinishSending() {
    State& s = *state;
    if (abortRequested.load()) return 0;
    if (s.told) return -1;
    if (!s.wrote) return 1;
    s.wrote = false;  // what is left is not waited for twice
    if (s.AwaitTail()) return 1;
    // A held tail is the sender's to tell; a lost connection is ours.
    if (s.error == NetSocket::kTimedOut) return 0;
    s.Failed(name);
    return abortRequested.load() ? 0 : -1;
}

// DTR's drop is sent, not waited for (a port without modem lines never
// answers it). After an abort nothing that is still on its way may reach the
// device later: the server purges its port and lets go of its flow control
// (which would otherwise hold its close), and the connection is reset, so
// the server's system drops what the server has not read yet (a held line
// stops it reading, and a purge queued behind the data would come too late).
int NetLink::Close() {
    State& s = *state;
    if (!socket->IsOpen()) return 1;
    const bool aborted = abortRequested.load();
    if (!aborted && s.wrote) FinishSending();
    if (s.telnet) {
        std::vector<uint8_t> out;
        if (aborted) out = ComPortCommand(kPurgeData, {kPurgeBoth});
        if (aborted && s.flow) Append(out, ComPortCommand(kSetControl, {kNoFlow}));
        if (s.dtr != ModemLine::kKeep) Append(out, ComPortCommand(kSetControl, {kDtrOff}));
        s.Send(out);
    }
    if (aborted)
        socket->Reset();
    else
        socket->Close();
    return 1;
}

int NetLink::Release(std::unique_ptr<NetLink>& link) {
    link->Close();
    link.reset();
    return 1;
}
