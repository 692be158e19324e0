// net: one TCP connection for the network link (a device behind a network
// serial server). Each platform supplies its own file (net_socket_posix.cpp,
// net_socket_win32.cpp) behind this one declaration, as the serial back ends
// do behind CommLink. Every wait also ends at once when an interrupt comes
// (abortRequested), so a silent server never outlasts Ctrl+C.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class NetSocket {
public:
    NetSocket();
    ~NetSocket();  // closes the connection if it is open
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Why the last call failed (Error()): one of these, or the system's own
    // code (errno, or WSAGetLastError on Windows), which is always > 0.
    static constexpr int kClosed = -1;    // the server closed the connection
    static constexpr int kAborted = -2;   // an interrupt came
    static constexpr int kTimedOut = -3;  // the bound passed first
    static constexpr int kNoHost = -4;    // the name did not resolve
    static constexpr uint32_t kForever = UINT32_MAX;

    // Resolves host and connects to port (a number or a service name), with
    // TCP_NODELAY set so that paced small writes leave at once. Waits at most
    // timeoutMs for the connection. False on failure; Error() says why.
    bool Connect(const std::string& host, const std::string& port, uint32_t timeoutMs);
    // Sends all n bytes, waiting for room in the socket for as long as it
    // takes (or until an interrupt). False on failure.
    bool SendAll(const uint8_t* data, size_t n);
    // Waits up to timeoutMs (0: not at all; kForever: no bound) for bytes and
    // reads what has arrived, at most cap. The count (> 0); 0 when the time
    // passed with nothing; -1 on failure, with Error() set (kClosed when the
    // server has closed).
    long Receive(uint8_t* buffer, size_t cap, uint32_t timeoutMs);
    void Close();
    // Closes at once and resets the connection (SO_LINGER 0), so that the
    // server's system drops whatever the server has not read yet: after an
    // abort, data queued behind a held line must not reach the device later.
    void Reset();
    bool IsOpen() const;

    int Error() const { return error; }
    // The reason for a system error code (> 0) as the system words it
    // (strerror or FormatMessage), for the error stream. The k* codes are
    // worded by the message catalogue where they are explained.
    static std::string Describe(int error);

    struct Native;  // the descriptor or SOCKET, and the platform's wait state

private:
    Native* native;
    int error = 0;
};
