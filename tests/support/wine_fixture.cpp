// Test kit: the Wine case (see wine_fixture.h).
#include "wine_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

const std::string kDtrOpenThenClosed = "DTR 1\nDTR 0\n";
const std::string kWaiting = "DTR 1\nWAIT\n";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

Target& WineCase::Wine() {
    static std::unique_ptr<Target> target = MakeWineTarget();
    return *target;
}

std::unique_ptr<Process> WineCase::Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                         const std::string& program) {
    ProcessOptions options;
    options.env = Wine().Environment();
    options.env.push_back("VELTA_SHIM_LOG=" + Path("shim.log"));
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.workingDirectory = Path("");
    std::vector<std::string> command = Wine().Command(args);
    if (!program.empty()) command[1] = program;
    return std::make_unique<Process>(command, options);
}

ProcessResult WineCase::Finish(Process& program, int status) {
    ProcessResult r = program.Wait(kWineRunTimeout);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, status);
    return r;
}

bool WineCase::Exists(const std::string& name) const {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0;
}

std::string WineCase::Sibling(const char* variable, const std::string& name) {
    const std::string path = Env(variable);
    const std::string sibling = path.substr(0, path.rfind('/') + 1) + name;
    EXPECT_EQ(access(sibling.c_str(), R_OK), 0) << sibling << " is built beside " << path;
    return sibling;
}

std::string WineCase::DtrLog() const {
    std::istringstream lines(ShimLog());
    std::string line, dtr;
    while (std::getline(lines, line))
        if (line.rfind("DTR", 0) == 0) dtr += line + "\n";
    return dtr;
}

bool WineCase::WaitForShim(const std::string& events, double timeoutSeconds) const {
    for (const double end = Now() + timeoutSeconds; ShimLog().compare(0, events.size(), events) != 0;) {
        if (Now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> WineCase::PortModel(const std::string& model, int fifo) const {
    const std::string uartShim = Sibling("VELTA_WINE_SHIM", "uart_shim.so");
    return {"LD_PRELOAD=" + uartShim + ":" + Env("VELTA_WINE_SHIM"), "VELTA_UART_MODEL=" + model,
            "VELTA_UART_FIFO=" + std::to_string(fifo), "VELTA_UART_LOG=" + Path("port.log"),
            "VELTA_UART_ASKED=" + Path("asked.log")};
}

long WineCase::Recorded(const std::string& file, const std::string& prefix, bool last) const {
    std::istringstream in(Read(file));
    long value = -1;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        value = std::atol(line.c_str() + prefix.size());
        if (!last) break;
    }
    return value;
}
