// Test kit: helpers for the program-as-a-process tests.
#include "program_support.h"

#include <ftw.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "comm.h"
#include "crc32.h"

std::string Banner() { return std::string(kBanner) + kBanner2; }

std::string Usage() {
    std::string out;
    for (const char* line : kUsage) out += line;
    return out;
}

std::string HelpFor(const char* defaultPort) {
    std::string out = Usage() + Format(kHelpDefaults, defaultPort);
    for (const char* line : kHelpLong) out += line;
    return out;
}

std::string Help() { return HelpFor("/dev/ttyS0"); }

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

ScratchDir::ScratchDir() {
    char name[] = "/tmp/velta-test-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp");
    dir_ = name;
}

ScratchDir::~ScratchDir() {
    nftw(dir_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 8,
         FTW_DEPTH | FTW_PHYS);
}

std::string ScratchDir::File(const std::string& name, const std::string& content) const {
    WriteFile(Path(name), content);
    return Path(name);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

uint32_t Crc(const std::string& data) {
    Crc32 crc;
    crc.Add(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return crc.Value();
}

std::string LineTallyText(const std::string& line, bool withHeader) {
    const auto crc = [](const std::string& bytes) { return static_cast<unsigned long>(Crc(bytes)); };
    if (!withHeader) return Format(kLineChecksum, static_cast<unsigned long>(line.size()), crc(line));
    return Format(kLineChecksumWithHeader, static_cast<unsigned long>(line.size()), crc(line),
                  static_cast<unsigned long>(line.size() - 16), crc(line.substr(16)));
}

std::string HeaderBytes(uint32_t total, uint16_t load, uint16_t run) {
    return Bytes({0xFF, 0xFE, 0x4D, int(total & 0xFF), int(total >> 8 & 0xFF), int(total >> 16 & 0xFF), 0, 0,
                  load & 0xFF, load >> 8, 0, 0, run & 0xFF, run >> 8, 0, 0});
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) out += static_cast<char>(b);
    return out;
}

std::string Pattern(size_t size, int seed) {
    std::string out(size, '\0');
    uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
    for (char& c : out) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::string Tail(const std::string& text, size_t size) {
    return text.size() < size ? text : text.substr(text.size() - size);
}

int Count(const std::string& text, char c) { return static_cast<int>(std::count(text.begin(), text.end(), c)); }

ProcessOptions TargetOptions(bool terminal) {
    ProcessOptions options;
    options.terminal = terminal;
    options.env = CurrentTarget().Environment();
    return options;
}

ProcessResult RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         const std::vector<std::string>& wrapper) {
    ProcessOptions options = TargetOptions();
    options.env.insert(options.env.end(), env.begin(), env.end());
    return RunProcess(Joined(wrapper, CurrentTarget().Command(args)), options);
}

static std::vector<std::string> WithPort(Pty& pty, const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.push_back(CurrentTarget().PortOption(pty.path()));
    return CurrentTarget().Command(all);
}

LineRun RunSend(Pty& pty, const std::vector<std::string>& args, ProcessOptions options) {
    for (const std::string& e : CurrentTarget().Environment()) options.env.push_back(e);
    std::atomic<bool> done{false};
    LineRun run;
    std::thread device([&] {
        while (!done) run.line += ReadUntilQuiet(pty.master(), 0.05, 0.2);
        run.line += ReadUntilQuiet(pty.master(), 0.05, 1);
    });
    Process process(WithPort(pty, args), options);
    run.process = process.Wait(120);
    done = true;
    device.join();
    return run;
}

std::unique_ptr<Process> StartOnTerminal(Pty& pty, const std::vector<std::string>& args) {
    return std::make_unique<Process>(WithPort(pty, args), TargetOptions(true));
}

bool PortIsFree(const Pty& pty) {
    CommLink link;
    return link.OpenConnection(1, 9600, 8, 0, 0, 0, pty.path().c_str()) != 0;
}

std::string ReadFromLink(CommLink& link, size_t count) {
    std::string got;
    for (int byte; got.size() < count && (byte = link.ReadByte()) >= 0;) got += static_cast<char>(byte);
    return got;
}
