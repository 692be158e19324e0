// Test kit: the sim and the program under test as processes.
#include "sim_driver.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "target.h"

std::string SimProgram() {
    const char* program = std::getenv("VELTA_SIM_PROGRAM");
    return program && *program ? program : VELTA_SIM_PROGRAM;
}

std::vector<std::string> SimCommand(const std::vector<std::string>& args) {
    return Joined({SimProgram()}, args);
}

Sim::Sim(const std::vector<std::string>& args, const std::string& workingDirectory) {
    ProcessOptions options;
    options.workingDirectory = workingDirectory;
    process_.reset(new Process(SimCommand(args), options));
    // Its first line names the terminal it plays the device on; the next
    // says it waits for the PC (to send, or to open the line, or for the go).
    if (!WaitForLine({"/"}, 30, &slave_) || !WaitForLine({"ready:", "waiting:"}, 30))
        throw std::runtime_error("velta-sim did not start: " + Tail());
}

Sim::~Sim() {
    if (process_->Ended()) return;
    process_->Signal(SIGINT);
    process_->Ended(10);
}

std::string Sim::PortOption() const { return CurrentTarget().PortOption(slave_); }

bool Sim::WaitFor(const std::string& text, double timeoutSeconds) {
    return process_->WaitForOutput(text, timeoutSeconds);
}

bool Sim::WaitForLine(const std::vector<std::string>& leads, double timeoutSeconds, std::string* line,
                      double* when) {
    const std::string& out = process_->output();
    for (const double end = Now() + timeoutSeconds;;) {
        for (size_t eol; (eol = out.find('\n', scanned_)) != std::string::npos;) {
            const size_t start = scanned_;
            scanned_ = eol + 1;
            for (const std::string& lead : leads) {
                if (out.compare(start, lead.size(), lead) != 0) continue;
                if (line) *line = out.substr(start, eol - start);
                // The moment the piece of output holding the line's end came.
                for (const auto& piece : process_->outputTimes())
                    if (piece.first > eol) {
                        if (when) *when = piece.second;
                        break;
                    }
                return true;
            }
        }
        const double left = end - Now();
        if (left <= 0 || !process_->ReadSome(left)) return false;
    }
}

void Sim::Go() { process_->Signal(SIGUSR1); }

void Sim::Stop() { process_->Signal(SIGTERM); }

ProcessResult Sim::Finish(double timeoutSeconds) { return process_->Wait(timeoutSeconds); }

std::string Sim::Tail() const {
    std::string tail = ::Tail(process_->output(), 300);
    std::replace(tail.begin(), tail.end(), '\n', '|');
    return tail;
}

static std::vector<std::string> VeltaCommand(const std::string& portOption, const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.push_back(portOption);
    return CurrentTarget().Command(all);
}

PcSide::PcSide(const Sim& sim) : fd_(open(sim.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    tcflush(fd_, TCIOFLUSH);
    MakeRaw(fd_);
}

PcSide::~PcSide() {
    if (fd_ >= 0) close(fd_);
}

ProcessResult RunVeltaOn(const std::string& portOption, const std::vector<std::string>& args,
                         double timeoutSeconds) {
    return RunProcess(VeltaCommand(portOption, args), TargetOptions(), timeoutSeconds);
}

std::unique_ptr<Process> StartVeltaOn(const std::string& portOption, const std::vector<std::string>& args) {
    return std::make_unique<Process>(VeltaCommand(portOption, args), TargetOptions(true));
}

ProcessResult RunVelta(const Sim& sim, const std::vector<std::string>& args, double timeoutSeconds) {
    return RunVeltaOn(sim.PortOption(), args, timeoutSeconds);
}

std::unique_ptr<Process> StartVelta(const Sim& sim, const std::vector<std::string>& args) {
    return StartVeltaOn(sim.PortOption(), args);
}

void Interrupt(Process& process) { process.Signal(SIGINT); }

std::string ReportLine(const std::string& output, const std::string& lead) {
    size_t at = output.compare(0, lead.size(), lead) == 0 ? 0 : output.find("\n" + lead);
    if (at == std::string::npos) return "";
    if (output[at] == '\n') ++at;
    size_t end = output.find('\n', at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string CompleteLine(const std::string& data, uint16_t load, uint16_t run) {
    return Format("complete: %zu bytes, load %04X, run %04X, crc32 %08X", data.size(), load, run, Crc(data));
}

std::string CompleteTextLine(const std::string& text, uint16_t load) {
    return Format("complete: text of %zu bytes, load %04X, crc32 %08X", text.size(), load, Crc(text));
}

std::string Console(const std::string& text) { return CurrentTarget().Console(text); }
