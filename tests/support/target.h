// Test support: which build of the program a test runs and how that build
// names a port. The same end-to-end cases run against the native program
// and against VELTA.exe under Wine; VELTA_TARGET=wine picks the latter.
#pragma once

#include <memory>
#include <string>
#include <vector>

class Target {
public:
    virtual ~Target() = default;
    virtual std::string Name() const = 0;
    // The full command line that runs the program with these arguments.
    virtual std::vector<std::string> Command(const std::vector<std::string>& args) const = 0;
    // The -P option that makes the program open this pseudo-terminal slave.
    virtual std::string PortOption(const std::string& slavePath) = 0;
    // How the program ends a console line ("\n", or "\r\n" on Windows).
    virtual std::string Newline() const = 0;
    // Environment entries every run of the program gets (locale, Wine prefix).
    virtual std::vector<std::string> Environment() const = 0;

    // Console text as this target prints it, from text written with "\n".
    std::string Console(const std::string& text) const;
};

Target& CurrentTarget();

// The Wine target; defined only when the Windows test support is built.
std::unique_ptr<Target> MakeWineTarget();
