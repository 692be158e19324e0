// A test build beside VELTA.exe, never shipped: one NetSocket driven from the
// command line, so that the Wine cases can try the Winsock side against a
// peer of their own on the loopback. Each step prints one line on standard
// output, flushed, and "> STEP" before it starts (a case waits for that
// before it sends Ctrl+C).
//
//   velta_net_probe HOST PORT STEP...
//   ctrlc          the console handler installed: Ctrl+C aborts the waits
//   connect:MS     "connect ok", or "connect WHY"
//   send:HEX       "send ok", or "send WHY"
//   sendn:COUNT    COUNT bytes of the pattern i * 7 % 256 in one call
//   recv:COUNT:MS  receives until COUNT bytes have come, a call has waited MS
//                  (- for no bound) with nothing, or one failed:
//                  "recv HEX|- ok|none|WHY"
//
// WHY is closed, aborted, timed-out, no-host or the system's code.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net_socket.h"
#include "win32_shared.h"

namespace {

std::string Why(int error) {
    switch (error) {
        case NetSocket::kClosed: return "closed";
        case NetSocket::kAborted: return "aborted";
        case NetSocket::kTimedOut: return "timed-out";
        case NetSocket::kNoHost: return "no-host";
        default: return std::to_string(error);
    }
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : bytes) hex += {digits[b >> 4], digits[b & 15]};
    return hex.empty() ? "-" : hex;
}

std::string Receive(NetSocket& socket, size_t count, uint32_t ms) {
    std::vector<uint8_t> got;
    uint8_t buffer[4096];
    std::string why = "ok";
    while (got.size() < count) {
        const long n = socket.Receive(buffer, std::min(sizeof buffer, count - got.size()), ms);
        if (n <= 0) {
            why = n == 0 ? "none" : Why(socket.Error());
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return ToHex(got) + " " + why;
}

// One step's line.
std::string Step(NetSocket& socket, const std::string& host, const std::string& port, const std::string& step) {
    const size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (verb == "ctrlc") {
        InstallConsoleHandler();
        return "ready";
    }
    if (verb == "connect")
        return socket.Connect(host, port, static_cast<uint32_t>(std::stoul(rest))) ? "ok" : Why(socket.Error());
    if (verb == "send" || verb == "sendn") {
        std::vector<uint8_t> data(verb == "sendn" ? std::stoul(rest) : 0);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 % 256);
        if (verb == "send") data = FromHex(rest);
        return socket.SendAll(data.data(), data.size()) ? "ok" : Why(socket.Error());
    }
    if (verb == "recv") {
        const size_t second = rest.find(':');
        const std::string ms = rest.substr(second + 1);
        return Receive(socket, std::stoul(rest.substr(0, second)),
                       ms == "-" ? NetSocket::kForever : static_cast<uint32_t>(std::stoul(ms)));
    }
    return "unknown step";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: velta_net_probe HOST PORT STEP...\n");
        return 2;
    }
    NetSocket socket;
    for (int i = 3; i < argc; ++i) {
        const std::string step = argv[i];
        std::printf("> %s\n", step.substr(0, step.find(':')).c_str());
        std::fflush(stdout);
        std::printf("%s %s\n", step.substr(0, step.find(':')).c_str(), Step(socket, argv[1], argv[2], step).c_str());
        std::fflush(stdout);
    }
    return 0;
}
