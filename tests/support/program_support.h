// Test kit: the program under test as a process against a pseudo-terminal
// that plays the device: the expected console texts, files in a scratch
// directory, the transfer header, and a run that records every byte put on
// the line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console_text.h"
#include "process.h"
#include "pty_pair.h"
#include "target.h"

std::string Banner();
std::string Usage();
// --help: the usage, the defaults (-P1 is defaultPort), the long options.
std::string HelpFor(const char* defaultPort);
std::string Help();  // native: -P1 is /dev/ttyS0
std::string Format(const char* format, ...);

// A scratch directory, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string File(const std::string& name, const std::string& content) const;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::string Bytes(std::initializer_list<int> bytes);
// The 16-byte transfer header the program sends or expects, built here
// independently of the program: FF FE 4D, the total size (header included,
// 24 bits), the load and the run address.
std::string HeaderBytes(uint32_t total, uint16_t load, uint16_t run = 0);
std::string Pattern(size_t size, int seed = 0);  // deterministic data
uint32_t Crc(const std::string& data);          // the CRC-32 both programs print
// The error-stream line that ends a transfer whose bytes on the line were
// `line`: their count and CRC-32, and (withHeader) those of the data after
// the first 16.
std::string LineTallyText(const std::string& line, bool withHeader);

bool Contains(const std::string& haystack, const std::string& needle);
std::string Tail(const std::string& text, size_t size);
int Count(const std::string& text, char c);

// The options of a run of the current target: its environment, and standard
// output on a terminal when asked.
ProcessOptions TargetOptions(bool terminal = false);

// Runs the current target with args (after the wrapper, if any) to its end.
ProcessResult RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                         const std::vector<std::string>& wrapper = {});

struct LineRun {
    ProcessResult process;
    std::string line;  // every byte the program sent to the device
};

// Runs the program with args plus the port option for pty, collecting what
// it sends until it has exited.
LineRun RunSend(Pty& pty, const std::vector<std::string>& args, ProcessOptions options = {});

// Starts the program with its console on a terminal (so a test can wait for
// a text before it acts as the device).
std::unique_ptr<Process> StartOnTerminal(Pty& pty, const std::vector<std::string>& args);

// True when nobody holds the port: the program let it go.
bool PortIsFree(const Pty& pty);

class CommLink;
// Up to count bytes read from the link one at a time; fewer when a read fails.
std::string ReadFromLink(CommLink& link, size_t count);
