// Test support: the native target, and the choice of target.
#include "target.h"

#include <cstdlib>

#include "process.h"

namespace {

class NativeTarget : public Target {
public:
    std::string Name() const override { return "native"; }
    std::vector<std::string> Command(const std::vector<std::string>& args) const override {
        const char* program = std::getenv("VELTA_PROGRAM");
        return Joined({program ? program : VELTA_NATIVE_PROGRAM}, args);
    }
    std::string PortOption(const std::string& slavePath) override { return "-P" + slavePath; }
    std::string Newline() const override { return "\n"; }
    std::vector<std::string> Environment() const override { return {"LC_ALL=C"}; }
};

}  // namespace

std::string Target::Console(const std::string& text) const {
    std::string nl = Newline(), out;
    for (char c : text) {
        if (c == '\n') out += nl;
        else out += c;
    }
    return out;
}

Target& CurrentTarget() {
    static std::unique_ptr<Target> target = [] {
        const char* name = std::getenv("VELTA_TARGET");
        if (name && std::string(name) == "wine") return MakeWineTarget();
        return std::unique_ptr<Target>(new NativeTarget);
    }();
    return *target;
}
