// transfer: the file the driver opens for a transfer, as each platform
// opens, inspects and writes it. Nothing here waits beyond an interrupt: the
// file to send is looked at before it is read, and a file to receive into
// that makes the program wait (a FIFO with no reader, a full pipe) gives way
// to Ctrl+C.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens name to send from (binary read) or to receive into (created if
// missing, binary write; an existing file keeps its contents until
// EmptyTransferFile), shared with other processes. Null when it cannot be
// opened or an abort came while it waited.
FILE* OpenTransferFile(const char* name, bool forSending);

// Empties a file opened to receive into, before its first write. Only a
// disk file has contents to lose; anything else (a FIFO, a device) is left.
bool EmptyTransferFile(FILE* file);

// Pushes what the runtime and the system hold for the file to its storage,
// so that a full disk, a quota or a network file system says so now and not
// at the close. False when the file did not take it all.
bool FlushTransferFile(FILE* file);

// Whether an open file to send is a regular file (no directory, FIFO or
// device), and its length in bytes, in 64 bits on every platform.
bool RegularFileLength(FILE* file, uint64_t* length);

// Writes count bytes whole; false when the file does not take them (on a
// pipe that stops taking them, once an abort has come).
bool WriteTransferFile(FILE* file, const void* data, size_t count);
