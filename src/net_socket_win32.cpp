// net, Winsock: one TCP connection to a network serial server. The socket is
// non-blocking (WSAEventSelect makes it so) and every wait is one
// WaitForMultipleObjects on the console interrupt's event and the socket's
// own, so Ctrl+C ends a silent server's wait at once, as it ends the serial
// link's. What can be done without waiting (a send that fits, bytes already
// received) is done even after the interrupt, so that the link can still
// tell the server to purge on its way out. The name lookup runs on a thread
// of its own: getaddrinfo cannot be interrupted or bounded, and a dead name
// server holds it for many seconds.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net_socket.h"
#include "win32_shared.h"

#include <algorithm>
#include <atomic>
#include <climits>

struct NetSocket::Native {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT event = WSA_INVALID_EVENT;  // the socket's network events
    // The link paces the line by waits of a millisecond or two for what the
    // server sends; a wait's own time-out would wake on the system tick.
    HANDLE timer = nullptr;
    bool fineTick = false;
};

namespace {

// Winsock is started once for the process and left to the exit to end.
int StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

// One deadline for a whole call, however many waits it takes.
class Deadline {
public:
    explicit Deadline(uint32_t ms) : forever(ms == NetSocket::kForever), end(GetTickCount64() + ms) {}
    DWORD Left() const {
        if (forever) return INFINITE;
        const ULONGLONG now = GetTickCount64();
        return now < end ? static_cast<DWORD>(end - now) : 0;
    }

private:
    bool forever;
    ULONGLONG end;
};

// Waits for object (a socket's event, the lookup's thread) or the
// interrupt, at most ms, kept by timer when there is one. 0 once object is
// signalled; kAborted, kTimedOut, or the system's code when the wait itself
// failed.
int WaitOrAbort(HANDLE object, DWORD ms, HANDLE timer = nullptr) {
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * ms;  // relative, in 100 ns units
    if (ms == 0 || ms == INFINITE || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) timer = nullptr;
    // The interrupt first: when both are signalled, it wins.
    HANDLE handles[3] = {AbortEvent(), object, timer};
    HANDLE* first = handles[0] ? handles : handles + 1;
    const DWORD count = static_cast<DWORD>(handles + (timer ? 3 : 2) - first);
    // With the timer the wait's own bound is only a backstop.
    const DWORD woken = WaitForMultipleObjects(count, first, FALSE, timer ? ms + 100 : ms);
    if (timer) CancelWaitableTimer(timer);
    if (woken == WAIT_TIMEOUT || (timer && woken == WAIT_OBJECT_0 + count - 1)) return NetSocket::kTimedOut;
    if (woken < WAIT_OBJECT_0 + count && first[woken - WAIT_OBJECT_0] == object) return 0;
    if (woken == WAIT_OBJECT_0 && first == handles) return NetSocket::kAborted;
    return static_cast<int>(GetLastError());
}

// Takes the socket's recorded events, which also resets its event object.
// What happened is not needed: the next send, recv or the connect's result
// says it.
int TakeNetworkEvents(const NetSocket::Native& n, WSANETWORKEVENTS* events) {
    return WSAEnumNetworkEvents(n.socket, n.event, events) == 0 ? 0 : WSAGetLastError();
}

// A name lookup shared by the caller and its thread; whichever lets go last
// frees it, so a caller that stops waiting (interrupt, bound) leaves the
// thread to finish on its own.
struct Lookup {
    std::string host, port;
    addrinfo* found = nullptr;
    int result = 0;
    std::atomic<int> holders{2};
};

void LetGo(Lookup* lookup) {
    if (--lookup->holders > 0) return;
    if (lookup->found) freeaddrinfo(lookup->found);
    delete lookup;
}

void Resolve(Lookup* lookup) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup->result = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &lookup->found);
}

DWORD WINAPI LookupThread(void* argument) {
    auto* lookup = static_cast<Lookup*>(argument);
    Resolve(lookup);
    LetGo(lookup);
    return 0;
}

// The addresses of host and port (freeaddrinfo them), or why there are none:
// kNoHost for a name or service that does not resolve.
int Addresses(const std::string& host, const std::string& port, const Deadline& deadline, addrinfo** found) {
    auto* lookup = new Lookup;
    lookup->host = host;
    lookup->port = port;
    HANDLE thread = CreateThread(nullptr, 0, LookupThread, lookup, 0, nullptr);
    int waited = 0;
    if (thread) {
        waited = WaitOrAbort(thread, deadline.Left());
        CloseHandle(thread);
    } else {
        Resolve(lookup);
        --lookup->holders;
    }
    int result = waited;
    if (!waited) {
        result = lookup->result;
        *found = lookup->found;
        lookup->found = nullptr;
    }
    LetGo(lookup);
    switch (result) {
        case WSAHOST_NOT_FOUND:
        case WSANO_DATA:
        case WSATRY_AGAIN:
        case WSATYPE_NOT_FOUND:
        case WSANO_RECOVERY:
            return NetSocket::kNoHost;
        default:
            return result;
    }
}

// Connects n's socket, made for address, within the deadline: 0, or why not.
int ConnectTo(const NetSocket::Native& n, const addrinfo& address, const Deadline& deadline) {
    if (WSAEventSelect(n.socket, n.event, FD_CONNECT) != 0) return WSAGetLastError();
    if (connect(n.socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return WSAGetLastError();
    for (;;) {
        if (const int waited = WaitOrAbort(n.event, deadline.Left())) return waited;
        WSANETWORKEVENTS events = {};
        if (const int failed = TakeNetworkEvents(n, &events)) return failed;
        if (events.lNetworkEvents & FD_CONNECT) return events.iErrorCode[FD_CONNECT_BIT];
    }
}

// Paced writes of a byte or two must leave at once, not wait for Nagle's
// acknowledgement; from now on every event the transfer waits for is asked.
int Connected(const NetSocket::Native& n) {
    const BOOL noDelay = TRUE;
    if (setsockopt(n.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay) != 0)
        return WSAGetLastError();
    if (WSAEventSelect(n.socket, n.event, FD_READ | FD_WRITE | FD_CLOSE) != 0) return WSAGetLastError();
    return 0;
}

}  // namespace

NetSocket::NetSocket() : native(new Native) {}

NetSocket::~NetSocket() {
    Close();
    delete native;
}

bool NetSocket::Connect(const std::string& host, const std::string& port, uint32_t timeoutMs) {
    Close();
    error = StartWinsock();
    if (error) return false;
    const Deadline deadline(timeoutMs);
    addrinfo* found = nullptr;
    error = Addresses(host, port, deadline, &found);
    if (error) return false;
    Native& n = *native;
    n.event = WSACreateEvent();
    n.timer = NewPreciseTimer(&n.fineTick);
    error = n.event == WSA_INVALID_EVENT ? WSAGetLastError() : kNoHost;
    // Each address in turn ("localhost" is ::1 before 127.0.0.1, where a
    // server may listen on one only), within the one deadline.
    for (const addrinfo* address = found; address && n.event != WSA_INVALID_EVENT; address = address->ai_next) {
        n.socket = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
        error = n.socket == INVALID_SOCKET ? WSAGetLastError() : ConnectTo(n, *address, deadline);
        if (!error) error = Connected(n);
        if (!error || error == kAborted || error == kTimedOut) break;
        if (n.socket != INVALID_SOCKET) closesocket(n.socket);
        n.socket = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    if (error) Close();
    return error == 0;
}

bool NetSocket::SendAll(const uint8_t* data, size_t n) {
    if (!IsOpen()) {
        error = kClosed;
        return false;
    }
    while (n > 0) {
        const int sent = send(native->socket, reinterpret_cast<const char*>(data),
                              static_cast<int>(std::min<size_t>(n, INT_MAX)), 0);
        if (sent > 0) {
            data += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        // Only a send refused for want of room brings an FD_WRITE later.
        error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return false;
        WSANETWORKEVENTS events = {};
        error = WaitOrAbort(native->event, INFINITE);
        if (!error) error = TakeNetworkEvents(*native, &events);
        if (error) return false;
    }
    error = 0;
    return true;
}

long NetSocket::Receive(uint8_t* buffer, size_t cap, uint32_t timeoutMs) {
    if (!IsOpen()) {
        error = kClosed;
        return -1;
    }
    if (cap == 0) return 0;
    const Deadline deadline(timeoutMs);
    for (;;) {
        const int got = recv(native->socket, reinterpret_cast<char*>(buffer),
                             static_cast<int>(std::min<size_t>(cap, INT_MAX)), 0);
        if (got > 0) return got;
        error = got == 0 ? kClosed : WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return -1;
        error = 0;
        if (timeoutMs == 0) return 0;
        // A recv refused for want of data brings an FD_READ (or FD_CLOSE)
        // when something comes; the event may also be set by one already
        // taken, so the loop asks again either way.
        const int waited = WaitOrAbort(native->event, deadline.Left(), native->timer);
        if (waited == kTimedOut) return 0;
        WSANETWORKEVENTS events = {};
        error = waited ? waited : TakeNetworkEvents(*native, &events);
        if (error) return -1;
    }
}

void NetSocket::Close() {
    Native& n = *native;
    if (n.socket != INVALID_SOCKET) {
        // Bytes left unread when the socket closes make the close a reset,
        // which may cost the server what it still had to write to the device:
        // what has come is taken first and the close is the orderly one.
        shutdown(n.socket, SD_SEND);
        char unread[512];
        for (int i = 0; i < 64 && recv(n.socket, unread, sizeof unread, 0) > 0; ++i) {
        }
        closesocket(n.socket);
        n.socket = INVALID_SOCKET;
    }
    if (n.event != WSA_INVALID_EVENT) WSACloseEvent(n.event);
    n.event = WSA_INVALID_EVENT;
    if (n.timer) CloseHandle(n.timer);
    if (n.fineTick) SetFineTick(false);
    n.timer = nullptr;
    n.fineTick = false;
}

void NetSocket::Reset() {
    Native& n = *native;
    if (n.socket == INVALID_SOCKET) return;
    // A linger of zero makes closesocket abortive: the server's system drops
    // what the server has not read, instead of delivering it later.
    const linger now = {1, 0};
    setsockopt(n.socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now), sizeof now);
    closesocket(n.socket);
    n.socket = INVALID_SOCKET;
    Close();
}

bool NetSocket::IsOpen() const {
    return native->socket != INVALID_SOCKET;
}

std::string NetSocket::Describe(int code) { return SystemMessage(static_cast<DWORD>(code)); }
