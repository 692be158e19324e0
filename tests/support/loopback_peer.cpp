#include "loopback_peer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr int kWaitMs = 60000;  // bounds every wait of the peer's

}  // namespace

LoopbackPeer::LoopbackPeer(Peer kind, size_t takes, std::string answer, PeerEnd end)
    : kind_(kind), takes_(takes), answer_(std::move(answer)), end_(end) {
    EXPECT_EQ(pipe(stop_), 0);
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    if (kind == Peer::kNobody) return;  // bound, never listening: a connect is refused
    // A backlog of 0 holds one connection, made here: the next one's SYN is dropped.
    EXPECT_EQ(listen(listener_, kind == Peer::kQueueFull ? 0 : 1), 0);
    if (kind == Peer::kQueueFull) {
        filler_ = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(filler_, reinterpret_cast<sockaddr*>(&address), length), 0);
        return;
    }
    thread_ = std::thread([this] { Serve(); });
}

LoopbackPeer::~LoopbackPeer() {
    Stop();
    for (int fd : {listener_, filler_, stop_[0], stop_[1]})
        if (fd >= 0) close(fd);
}

std::string LoopbackPeer::Received() {
    Stop();
    return received_;
}

void LoopbackPeer::Stop() {
    if (!thread_.joinable()) return;
    EXPECT_EQ(write(stop_[1], "x", 1), 1);
    thread_.join();
}

// Waits for fd to be readable; false when the case stops the peer first.
bool LoopbackPeer::Ready(int fd) const {
    pollfd both[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    return poll(both, 2, kWaitMs) > 0 && !both[1].revents;
}

void LoopbackPeer::Serve() {
    if (!Ready(listener_)) return;
    const int connection = accept(listener_, nullptr, nullptr);
    // Not a timed part: the pause only makes sure the client's socket fills.
    if (kind_ == Peer::kSlow) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    char buffer[65536];
    while (received_.size() < takes_ && Ready(connection)) {
        const ssize_t n = recv(connection, buffer, std::min(sizeof buffer, takes_ - received_.size()), 0);
        if (n <= 0) break;
        received_.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(send(connection, answer_.data(), answer_.size(), MSG_NOSIGNAL), static_cast<ssize_t>(answer_.size()));
    if (end_ == PeerEnd::kHolds) Ready(stop_[0]);
    if (end_ == PeerEnd::kResets) {
        const linger reset = {1, 0};  // close() then sends RST, not FIN
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(connection);
}
