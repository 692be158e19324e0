// transfer: the file of a transfer on Windows. The file to send is opened
// so that a directory opens too, and is then told apart by its handle: only
// a disk file that is no directory is sent (CON, NUL and the like are
// character devices), with its length in 64 bits, which the runtime's
// struct stat does not hold.
#include "transfer_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

FILE* OpenToSend(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // The runtime's own open fails the same way and says why in errno.
    if (h == INVALID_HANDLE_VALUE) return std::fopen(name, "rb");
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "rb");
    if (!file) _close(fd);
    return file;
}

// Created if missing, not truncated: an existing file is emptied only when
// the first byte arrives. _open shares the file, as fopen does.
FILE* OpenToReceive(const char* name) {
    int fd = _open(name, _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

}  // namespace

FILE* OpenTransferFile(const char* name, bool forSending) {
    return forSending ? OpenToSend(name) : OpenToReceive(name);
}

bool EmptyTransferFile(FILE* file) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) return true;
    return _chsize_s(_fileno(file), 0) == 0;
}

bool FlushTransferFile(FILE* file) {
    if (std::fflush(file) != 0) return false;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || FlushFileBuffers(h);
}

bool RegularFileLength(FILE* file, uint64_t* length) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(h, &size) || size.QuadPart < 0)
        return false;
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool WriteTransferFile(FILE* file, const void* data, size_t count) {
    return std::fwrite(data, 1, count, file) == count;
}
