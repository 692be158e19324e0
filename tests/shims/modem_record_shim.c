/* Preloaded (LD_PRELOAD) into a terminal program and what it runs, for the
 * tests of velta on a port it is handed. In velta only, it appends to the
 * file named by VELTA_MODEM_LOG one line at start-up, "start FLAGS0 FLAGS1"
 * (the file status flags of standard input and output as velta got them,
 * octal), one line for every modem-line request, "TIOCMBIS" and so on,
 * whatever the descriptor, and "end" when it exits (not when a signal kills
 * it). The requests themselves go through unchanged. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>

#include "shim.h"

static int InVelta(void) { return strcmp(program_invocation_short_name, "velta") == 0; }

static void Record(const char* line) {
    if (InVelta()) AppendToLog("VELTA_MODEM_LOG", "%s", line);
}

__attribute__((constructor)) static void RecordStart(void) {
    if (InVelta()) AppendToLog("VELTA_MODEM_LOG", "start %o %o\n", fcntl(0, F_GETFL), fcntl(1, F_GETFL));
}

__attribute__((destructor)) static void RecordEnd(void) { Record("end\n"); }

static const char* ModemRequestName(unsigned long request) {
    switch (request) {
        case TIOCMGET: return "TIOCMGET\n";
        case TIOCMBIS: return "TIOCMBIS\n";
        case TIOCMBIC: return "TIOCMBIC\n";
        case TIOCMSET: return "TIOCMSET\n";
        default: return NULL;
    }
}

int ShimIoctl(int fd, unsigned long request, void* arg) {
    const char* name = ModemRequestName(request);
    if (name) Record(name);
    return RealIoctl(fd, request, arg);
}
