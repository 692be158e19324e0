// A test build of the program, never shipped: the same driver and link, plus
// a thread that plays the system's part when the console window is closed.
// Once the file named by VELTA_CLOSE_TRIGGER exists it calls the installed
// console handler with CTRL_CLOSE_EVENT on a thread of its own, as Windows
// does, and ends the process the moment the handler returns, as Windows does
// (status 0xC000013A, which a Unix parent of Wine sees as 58).
#include <windows.h>

#include <cstdlib>

BOOL WINAPI OnConsoleControl(DWORD controlType);

namespace {

constexpr UINT kClosedByTheSystem = 0xC000013A;

DWORD WINAPI CloseOnCue(void* trigger) {
    while (GetFileAttributesA(static_cast<const char*>(trigger)) == INVALID_FILE_ATTRIBUTES) Sleep(10);
    OnConsoleControl(CTRL_CLOSE_EVENT);
    TerminateProcess(GetCurrentProcess(), kClosedByTheSystem);
    return 0;
}

struct CloseTrigger {
    CloseTrigger() {
        if (const char* trigger = std::getenv("VELTA_CLOSE_TRIGGER"))
            CreateThread(nullptr, 0, CloseOnCue, const_cast<char*>(trigger), 0, nullptr);
    }
} closeTrigger;

}  // namespace
