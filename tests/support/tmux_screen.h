// Test kit: a full-screen program (minicom) on a terminal of its own, in a
// private tmux server (its own socket, no configuration file), so that a
// test reads the screen as the user sees it, drawn, and types keys. Every
// wait looks at the screen again until the text is there or a generous
// bound has passed: nothing depends on how fast the machine is.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TmuxScreen {
public:
    // Runs argv (with env, NAME=value, added) on an 80 x 24 terminal.
    TmuxScreen(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    ~TmuxScreen();  // ends the server, and with it the program
    TmuxScreen(const TmuxScreen&) = delete;
    TmuxScreen& operator=(const TmuxScreen&) = delete;

    bool Started() const { return started_; }
    pid_t pid() const { return pid_; }  // the program's process
    std::string Screen() const;          // the terminal's text now, line by line
    // Until the screen shows text (absent: no longer shows it); false after the bound.
    bool WaitFor(const std::string& text, double seconds = 60) const;
    bool WaitForGone(const std::string& text, double seconds = 60) const;
    bool WaitForExit(double seconds = 60) const;  // until the program has ended
    // Keys by tmux's names ("C-a", "Down", "Enter"), or text typed as it stands.
    void Keys(const std::vector<std::string>& keys) const;
    void Type(const std::string& text) const;

private:
    std::string Tmux(std::vector<std::string> args) const;  // its output
    std::string socket_;
    bool started_ = false;
    pid_t pid_ = -1;
};
