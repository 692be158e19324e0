// comm, POSIX: the waits of the serial link, for the file the driver opens.
// Each ends at once when an interrupt has come (or comes meanwhile), so a
// file that makes the program wait never outlasts Ctrl+C.
#pragma once

// Waits until fd reports one of the poll events; false on an abort, a
// hang-up or an error of fd.
bool WaitUnlessAborted(int fd, short events);

// Sleeps up to ms milliseconds; false if an abort has come.
bool NapUnlessAborted(long ms);

// The descriptor that becomes readable once an abort has come (and stays
// so), for a wait that polls its own descriptors beside it; -1 until the
// abort handling is installed.
int AbortWaitFd();
