// net: the link to a device behind a network serial server, reached over TCP
// either with Telnet's COM port control (rfc2217://host:port) or as a raw
// socket (socket://host:port). Portable: it talks only to NetSocket, and it
// paces the line by the line clock with the rule the serial links share, so
// a back end's CommLink hands its work here, one call per operation, when
// the -P value names such a port. Failures are the port's or the line's, as
// on a serial port; the lines that name the host go to the error stream from
// here.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "comm.h"

class NetSocket;

// Whether a -P value names a port on a network serial server. Inline, so the
// option code can ask without pulling the network link into a program.
inline bool IsNetworkPort(const char* value) {
    return value && (std::strncmp(value, "rfc2217://", 10) == 0 || std::strncmp(value, "socket://", 9) == 0);
}

// A -P value taken apart: "rfc2217://host:port", "socket://[v6addr]:port".
struct NetAddress {
    bool telnet = false;  // rfc2217: Telnet with COM port control; else raw bytes
    std::string host;
    std::string port;
};
// False when the value is no network port or has no host or no port.
bool ParseNetAddress(const char* value, NetAddress* out);

// On the error stream: why the connection to name (host:port) failed or
// ended, from a NetSocket or NetLink code. For an open failure of step
// kNetwork and for a connection lost during a transfer alike.
void ExplainNetworkFailure(const std::string& name, int error);

class NetLink {
public:
    NetLink();
    ~NetLink();
    NetLink(const NetLink&) = delete;
    NetLink& operator=(const NetLink&) = delete;

    // Connects to the server that url names and sets its line up: the rate,
    // 8N1, the handshaking of flowControl (FlowControlFlags) and DTR/RTS as
    // dtr and rts say. On failure fills *failure (step kNetwork, the device
    // "host:port", the NetSocket error code, detail: the reason's text) and
    // returns null.
    static std::unique_ptr<NetLink> Open(const char* url, uint32_t baudRate, uint8_t flowControl, ModemLine dtr,
                                         ModemLine rts, CommLink::OpenFailure* failure);

    // The CommLink operations, with CommLink's results. Each failure other
    // than an abort or the receive time-out has said on the error stream
    // what became of the connection, so the back end records no line error.
    //
    // Sends one byte, paced by the line clock (at most a FIFO ahead), held
    // while the device's XOFF stands (-F2). Nonzero on success.
    int WriteByte(int byte);
    // Waits up to timeoutMs (0: for ever) for received data; nonzero once
    // some is here. A wait that ends by the bound sets timedOut.
    int WaitForData(uint32_t timeoutMs, bool& timedOut);
    // Moves the received bytes (at most cap) into buffer and their count into
    // count, waiting as WaitForData does when none is here. Nonzero on success.
    int FillReceiveBuffer(uint8_t* buffer, uint32_t cap, uint32_t& count, uint32_t timeoutMs, bool& timedOut);
    // After the last byte: waits until the server has taken everything and
    // the line has had time to carry it. 1 when it has; 0 after an abort, or
    // when the server stood still for the bound; -1 when the connection was
    // lost, its reason told.
    int FinishSending();
    // Finishes the send if it was not (unless aborted: then the server's
    // buffers are purged), drops DTR unless it is kept, and closes. Always 1.
    int Close();

    // The CommLink call for each, so a back end's dispatch stays one line:
    // closes and frees the link held in `link`. Always 1.
    static int Release(std::unique_ptr<NetLink>& link);

    const std::string& Name() const { return name; }

    // Why a network port failed, beside NetSocket's codes: the server does
    // not take COM port control, or did not answer the line's settings.
    static constexpr int kNoComPort = -10;
    static constexpr int kNoAnswer = -11;
    static constexpr int kBadAddress = -12;  // no host or no port in the -P value

    struct State;  // the Telnet decoder, the pacing and the counters

private:
    bool Start(const NetAddress& address, uint32_t baudRate, uint8_t flowControl, ModemLine dtr, ModemLine rts);
    std::unique_ptr<NetSocket> socket;
    std::unique_ptr<State> state;
    std::string name;  // host:port, for the error stream
};
