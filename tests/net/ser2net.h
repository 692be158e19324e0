// Test kit, network ports: a real ser2net serving one terminal (a
// pseudo-terminal's slave) on a free loopback port, either with RFC 2217
// (telnet(rfc2217)) or as a raw TCP socket, from a configuration written into
// a scratch directory; and the program under test run against it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "program_support.h"

class Ser2net {
public:
    // Serves device at 9600n81 (what a raw socket keeps); up and listening
    // when this returns, or this throws.
    Ser2net(const std::string& device, bool rfc2217, const ScratchDir& dir);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port() const { return port_; }
    // -Prfc2217://127.0.0.1:PORT or -Psocket://127.0.0.1:PORT
    std::string PortOption() const;

private:
    std::unique_ptr<Process> process_;
    bool rfc2217_;
    int port_ = 0;
};

// A loopback TCP port that nobody listens on now.
int FreeLoopbackPort();

// The rate a terminal is set to, as the server left it (bit/s; 0 unknown).
unsigned long TerminalRate(const std::string& device);
