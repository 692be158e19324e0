// What the Windows files share beside CommLink: the console interrupt's
// event, which every wait of the serial link and of the network socket
// waits on too, and the system's wording of an error code. Windows builds
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

// The system's message for an error code (GetLastError, WSAGetLastError),
// in the ANSI code page the console texts' %s takes, without its line end.
std::string SystemMessage(DWORD error);
