// Test kit: a program on a terminal of a private tmux server.
#include "tmux_screen.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "process.h"

namespace {

std::atomic<int> serverCount{0};

}  // namespace

TmuxScreen::TmuxScreen(const std::vector<std::string>& argv, const std::vector<std::string>& env)
    : socket_("velta-test-" + std::to_string(getpid()) + "-" + std::to_string(serverCount++)) {
    // The program runs through env(1), so its environment is the one given
    // whatever the server was started with.
    std::vector<std::string> command = {"new-session", "-d", "-x", "80", "-y", "24", "env"};
    command.insert(command.end(), env.begin(), env.end());
    command.insert(command.end(), argv.begin(), argv.end());
    ProcessOptions options;
    options.ownProcessGroup = true;
    started_ = RunProcess(Joined({"tmux", "-L", socket_, "-f", "/dev/null"}, command), options, 30).exitCode == 0;
    if (!started_) return;
    pid_ = static_cast<pid_t>(std::atoi(Tmux({"display-message", "-p", "#{pane_pid}"}).c_str()));
}

TmuxScreen::~TmuxScreen() {
    if (started_) Tmux({"kill-server"});
}

std::string TmuxScreen::Tmux(std::vector<std::string> args) const {
    args.insert(args.begin(), {"tmux", "-L", socket_});
    return RunProcess(args, {}, 30).output;
}

std::string TmuxScreen::Screen() const { return Tmux({"capture-pane", "-p"}); }

bool TmuxScreen::WaitFor(const std::string& text, double seconds) const {
    for (const double end = Now() + seconds; Screen().find(text) == std::string::npos; usleep(50000))
        if (Now() > end) return false;
    return true;
}

bool TmuxScreen::WaitForGone(const std::string& text, double seconds) const {
    for (const double end = Now() + seconds; Screen().find(text) != std::string::npos; usleep(50000))
        if (Now() > end) return false;
    return true;
}

bool TmuxScreen::WaitForExit(double seconds) const {
    for (const double end = Now() + seconds; kill(pid_, 0) == 0; usleep(50000))
        if (Now() > end) return false;
    return true;
}

void TmuxScreen::Keys(const std::vector<std::string>& keys) const {
    Tmux(Joined({"send-keys"}, keys));
}

void TmuxScreen::Type(const std::string& text) const { Tmux({"send-keys", "-l", text}); }
