// Test support: the Wine target. VELTA.exe runs under Wine in the prefix
// that tests/wine/run.sh prepares once per run, with the modem-line shim
// preloaded so that serial waits work on a pseudo-terminal. The run
// script passes everything in the environment:
//   VELTA_WINE_EXE   the VELTA.exe under test
//   WINEPREFIX       the prepared prefix
//   VELTA_WINE_SHIM  the preloaded shim (modem_shim.so)
//   VELTA_WINE       the Wine loader command (default "wine")
#include "process.h"
#include "target.h"
#include "target_wine.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {

std::string Required(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        throw std::runtime_error(std::string(name) + " is not set; run the Wine cases through tests/wine/run.sh");
    return value;
}

class WineTarget : public Target {
public:
    WineTarget()
        : exe_(Required("VELTA_WINE_EXE")), prefix_(Required("WINEPREFIX")), shim_(Required("VELTA_WINE_SHIM")) {
        const char* wine = std::getenv("VELTA_WINE");
        wine_ = wine && *wine ? wine : "wine";
    }
    std::string Name() const override { return "wine"; }
    std::vector<std::string> Command(const std::vector<std::string>& args) const override {
        return Joined({wine_, exe_}, args);
    }
    std::string PortOption(const std::string& slavePath) override {
        int port = WinePortFor(slavePath);
        LinkWinePort(port, slavePath);
        return "-P" + std::to_string(port);
    }
    std::string Newline() const override { return "\r\n"; }
    std::vector<std::string> Environment() const override {
        // A terminal on standard output reaches the program as a plain
        // character device (see the shim), so a case reads the program's own
        // CP932 bytes there too, not Wine's console redrawing them.
        return {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all", "LD_PRELOAD=" + shim_, "LC_ALL=C",
                "VELTA_SHIM_PLAIN_TERMINAL=1"};
    }

private:
    std::string exe_, prefix_, shim_, wine_;
};

}  // namespace

void LinkWinePort(int port, const std::string& slavePath) {
    const std::string link = Required("WINEPREFIX") + "/dosdevices/com" + std::to_string(port);
    // A fresh link renamed over the old one: never a moment without it.
    const std::string fresh = link + ".new" + std::to_string(getpid());
    unlink(fresh.c_str());
    if (symlink(slavePath.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link + " to " + slavePath);
}

int WinePortFor(const std::string& slavePath) {
    const std::string::size_type slash = slavePath.find_last_of('/');
    const int number = std::atoi(slavePath.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    return 1 + number % 255;
}

std::unique_ptr<Target> MakeWineTarget() {
    return std::unique_ptr<Target>(new WineTarget);
}
