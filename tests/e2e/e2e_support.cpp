// End-to-end support: the sim and the program under test as processes.
#include "e2e_support.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "sim_format.h"
#include "target.h"

std::vector<std::string> SimCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VELTA_SIM_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Sim::Sim(const ScratchDir& dir, const std::vector<std::string>& args) {
    const std::string link = dir.Path("sim-port");
    std::vector<std::string> all = {"--link", link};
    all.insert(all.end(), args.begin(), args.end());
    process_.reset(new Process(SimCommand(all)));
    if (!process_->WaitForOutput("\n", 30)) throw std::runtime_error("velta-sim did not start");
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) throw std::runtime_error("velta-sim made no link to its pseudo-terminal");
    slave_.assign(target, static_cast<size_t>(n));
}

std::string Sim::PortOption() const { return CurrentTarget().PortOption(slave_); }

bool Sim::WaitFor(const std::string& text, double timeoutSeconds) {
    return process_->WaitForOutput(text, timeoutSeconds);
}

void Sim::Go() { process_->Signal(SIGUSR1); }

void Sim::Stop() { process_->Signal(SIGTERM); }

ProcessResult Sim::Finish(double timeoutSeconds) { return process_->Wait(timeoutSeconds); }

static std::vector<std::string> VeltaCommand(const Sim& sim, const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.push_back(sim.PortOption());
    return CurrentTarget().Command(all);
}

ProcessResult RunVelta(const Sim& sim, const std::vector<std::string>& args, double timeoutSeconds) {
    ProcessOptions options;
    options.env = CurrentTarget().Environment();
    return RunProcess(VeltaCommand(sim, args), options, timeoutSeconds);
}

std::unique_ptr<Process> StartVelta(const Sim& sim, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.terminal = true;
    options.env = CurrentTarget().Environment();
    return std::unique_ptr<Process>(new Process(VeltaCommand(sim, args), options));
}

void Interrupt(Process& process) { process.Signal(SIGINT); }

std::string ReportLine(const std::string& output, const std::string& lead) {
    size_t at = output.compare(0, lead.size(), lead) == 0 ? 0 : output.find("\n" + lead);
    if (at == std::string::npos) return "";
    if (output[at] == '\n') ++at;
    size_t end = output.find('\n', at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

uint32_t Crc(const std::string& data) {
    sim::Crc32 crc;
    crc.Add(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return crc.Value();
}

std::string CompleteLine(const std::string& data, uint16_t load, uint16_t run) {
    return Format("complete: %zu bytes, load %04X, run %04X, crc32 %08X", data.size(), load, run, Crc(data));
}

std::string CompleteTextLine(const std::string& text, uint16_t load) {
    return Format("complete: text of %zu bytes, load %04X, crc32 %08X", text.size(), load, Crc(text));
}

std::string HeaderFor(uint32_t totalSize, uint16_t load, uint16_t run) {
    return Bytes({0xFF, 0xFE, 0x4D, int(totalSize & 0xFF), int(totalSize >> 8 & 0xFF), int(totalSize >> 16 & 0xFF),
                  0, 0, load & 0xFF, load >> 8, 0, 0, run & 0xFF, run >> 8, 0, 0});
}

std::string Console(const std::string& text) { return CurrentTarget().Console(text); }

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}
