// Test kit: a TCP peer on 127.0.0.1 played by the test, for the network
// link's cases: it takes a number of bytes, answers, and then holds the
// connection, closes it in order, or resets it.
#pragma once

#include <cstddef>
#include <string>
#include <thread>

// How the peer behaves.
enum class Peer {
    kAnswers,    // accepts, takes its bytes, answers
    kSlow,       // the same, but lets the client's bytes pile up first
    kNobody,     // nothing listens on the port
    kQueueFull,  // listens, but its queue is full: the connect hears nothing
};

// What it does once it has answered.
enum class PeerEnd {
    kHolds,   // keeps the connection until the case ends
    kCloses,  // an orderly close
    kResets,  // a reset, as from a server whose system dropped the connection
};

class LoopbackPeer {
public:
    LoopbackPeer(Peer kind, size_t takes, std::string answer, PeerEnd end);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int port() const { return port_; }
    // What it took, once its part is over (the client has ended).
    std::string Received();

private:
    void Stop();
    bool Ready(int fd) const;
    void Serve();

    Peer kind_;
    size_t takes_;
    std::string answer_;
    PeerEnd end_;
    int listener_ = -1, filler_ = -1, port_ = 0;
    int stop_[2] = {-1, -1};
    std::string received_;
    std::thread thread_;
};
