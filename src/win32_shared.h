// What the Windows files share beside CommLink: the console interrupt's
// event, which every wait of the serial link and of the network socket
// waits on too, a timer that keeps short waits, and the system's wording
// of an error code. Windows builds
// only; the portable core never includes it.
#pragma once

#include <windows.h>

#include <string>

// Set by the console handler together with abortRequested, never reset, so
// a wait that includes it ends at once from the interrupt on. Made before
// main (with the link), never closed.
HANDLE AbortEvent();
// From here on Ctrl+C, Ctrl+Break and the other console events abort what
// the program is doing instead of ending the process.
void InstallConsoleHandler();

// Debian 12's mingw-w64 headers lack it; Windows 10 1803 and later know it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x2
#endif

// A waitable timer that wakes on time, where a wait's own time-out wakes on
// the system tick (15.6 ms by default). Where the system refuses a
// high-resolution one, a plain timer with the tick asked to be 1 ms:
// *fineTick is then set, and SetFineTick(false) gives the tick back once
// the timer is closed.
HANDLE NewPreciseTimer(bool* fineTick);
void SetFineTick(bool on);

// The system's message for an error code (GetLastError, WSAGetLastError),
// in the ANSI code page the console texts' %s takes, without its line end.
std::string SystemMessage(DWORD error);
