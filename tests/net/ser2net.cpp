// Test kit, network ports: ser2net as a real process (Debian's package).
#include "ser2net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "line_check.h"
#include "line_rate.h"

namespace {

// Whether something listens on 127.0.0.1:port, from the kernel's table
// (a trial connection would make ser2net open its device).
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        throw std::runtime_error("no free loopback port");
    close(fd);
    return ntohs(a.sin_port);
}

ResettingServer::ResettingServer(size_t bytes) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        throw std::runtime_error("cannot listen on the loopback");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, bytes] { Serve(bytes); });
}

ResettingServer::~ResettingServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
}

// Polls in steps, so that the destructor ends it whatever the client did.
void ResettingServer::Serve(size_t bytes) {
    const auto ready = [this](int fd) {
        pollfd p = {fd, POLLIN, 0};
        while (!stop_)
            if (poll(&p, 1, 100) > 0) return true;
        return false;
    };
    if (!ready(listener_)) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    char chunk[4096];
    for (size_t got = 0; got < bytes && ready(fd);) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    const linger reset = {1, 0};  // close() then sends RST, not FIN
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

Ser2net::Ser2net(const std::string& device, bool rfc2217, const ScratchDir& dir) : rfc2217_(rfc2217) {
    port_ = FreeLoopbackPort();
    const std::string config = dir.File(
        "ser2net.yaml", "connection: &velta\n  accepter: " + std::string(rfc2217 ? "telnet(rfc2217)," : "") +
                            "tcp,127.0.0.1," + std::to_string(port_) + "\n  connector: serialdev," + device +
                            ",9600n81,local\n  options:\n    kickolduser: true\n");
    // -n: in the foreground, -u: no UUCP lock (the test's own terminal).
    process_.reset(new Process({"/usr/sbin/ser2net", "-n", "-u", "-c", config, "-P", dir.Path("ser2net.pid")}));
    for (const double end = Now() + 20; !Listening(port_); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (Now() > end || process_->Ended()) throw std::runtime_error("ser2net did not start: " + process_->errors());
}

Ser2net::~Ser2net() {
    process_->Signal(SIGTERM);
    process_->Wait(20);
}

std::string Ser2net::PortOption() const {
    return std::string("-P") + (rfc2217_ ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port_);
}

unsigned long TerminalRate(const std::string& device) {
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    const termios t = SettingsOf(fd);
    close(fd);
    return LineRateOf(cfgetospeed(&t));
}
