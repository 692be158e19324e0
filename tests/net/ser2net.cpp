// Test kit, network ports: ser2net as a real process (Debian's package).
#include "ser2net.h"

#include <fcntl.h>
#include <netinet/in.h>
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
