// SPDX-License-Identifier: MIT
// platform: the Windows implementation first, then the POSIX one, function
// by function in the same order.

#include "platform.h"

#include <cerrno>

#ifdef _WIN32

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>
#include <shellapi.h>
#include <sys/stat.h>

// Runs on one archive take turns by locking one byte that lies beyond 4 GiB,
// far past any WAD offset: Windows byte-range locks are mandatory, and a
// lock on the data would stop a game or an editor reading the archive.
static const uint64_t lockbyte = uint64_t{1} << 32;

// errno for the last Windows error, so that strerror can tell it.
static int seterrno()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errno = ENOMEM;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    case ERROR_USER_MAPPED_FILE:
        errno = EBUSY; // told apart by os_strerror
        break;
    default:
        errno = EIO;
        break;
    }
    return -1;
}

// A UTF-8 string as UTF-16; false, with errno set, when it is not UTF-8.
static bool widen(const char *utf8, std::wstring &wide)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return false;
    }
    wide.resize(size_t(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), n);
    return true;
}

static HANDLE oshandle(int fd)
{
    if (fd < 0) {
        errno = EBADF;
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

void os_startup(int *argc, char ***argv)
{
    // Windows passes main its arguments in the ANSI code page, which cannot
    // hold every name: take them from the UTF-16 command line instead.
    static std::vector<std::string> args;
    static std::vector<char *> pointers;
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide) {
        for (int i = 0; i < n; i++) {
            const int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr,
                                                nullptr);
            std::string arg(size_t(len > 0 ? len : 1), '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), len, nullptr, nullptr);
            arg.resize(strlen(arg.c_str()));
            args.push_back(arg);
        }
        LocalFree(wide);
        for (std::string &arg : args)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
        *argc = n;
        *argv = pointers.data();
    }
    // The C runtime keeps descriptors 0, 1 and 2 for the standard streams
    // even when the process was started without them, so no file opened
    // later can take their place. Windows has no SIGPIPE or SIGXFSZ.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

const char *os_strerror(int err)
{
    // Windows refuses to cut a file that a program has mapped, which the C
    // runtime has no words for.
    if (err == EBUSY)
        return "another program has the file mapped into memory";
    return strerror(err);
}

FILE *os_fopen(const char *path, const char *mode)
{
    std::wstring wpath, wmode;
    if (!widen(path, wpath) || !widen((mode + std::string("N")).c_str(), wmode))
        return nullptr;
    return _wfopen(wpath.c_str(), wmode.c_str());
}

int os_openread(const char *path)
{
    std::wstring wpath;
    if (!widen(path, wpath))
        return -1;
    // Backup semantics open a folder as well as a file.
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return seterrno();
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

int os_opencreate(const char *path)
{
    std::wstring wpath;
    if (!widen(path, wpath))
        return -1;
    return _wopen(wpath.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

int os_close(int fd)
{
    return _close(fd);
}

int64_t os_read(int fd, void *buf, size_t len)
{
    return _read(fd, buf, unsigned(len < INT_MAX ? len : INT_MAX));
}

int os_fstat(int fd, os_filestat *st)
{
    HANDLE h = oshandle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    if (!GetFileInformationByHandle(h, &info))
        return seterrno();
    st->size = int64_t((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    st->regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  GetFileType(h) == FILE_TYPE_DISK;
    st->volume = info.dwVolumeSerialNumber;
    st->index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    // In units of 100 ns; every write moves the last write time.
    const uint64_t written =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    st->changed = written * 100;
    return 0;
}

int os_seek(FILE *fp, int64_t offset, int whence)
{
    return _fseeki64(fp, offset, whence);
}

int64_t os_tell(FILE *fp)
{
    return _ftelli64(fp);
}

int os_sync(int fd)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    return FlushFileBuffers(h) ? 0 : seterrno();
}

int os_truncate(int fd, int64_t length)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER at;
    at.QuadPart = length;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h))
        return seterrno();
    return 0;
}

int64_t os_freespace(int fd)
{
    // The free space of the volume that holds the file's path.
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    wchar_t path[MAX_PATH], volume[MAX_PATH];
    const DWORD n = GetFinalPathNameByHandleW(h, path, MAX_PATH, FILE_NAME_NORMALIZED);
    ULARGE_INTEGER available;
    if (n == 0 || n >= MAX_PATH || !GetVolumePathNameW(path, volume, MAX_PATH) ||
        !GetDiskFreeSpaceExW(volume, &available, nullptr, nullptr))
        return -1;
    return int64_t(available.QuadPart > INT64_MAX ? INT64_MAX : available.QuadPart);
}

int os_lock(int fd)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED at = {};
    at.Offset = DWORD(lockbyte & 0xffffffff);
    at.OffsetHigh = DWORD(lockbyte >> 32);
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ? 0 : seterrno();
}

#else

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

void os_startup(int *, char ***)
{
    // Arguments arrive as the bytes typed, and no stream translates newlines.
    // open returns the lowest free descriptor, so a closed 0, 1 or 2 is
    // filled in order; a process that cannot even do that stops here.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            static const char message[] = "lumpgraft: cannot open /dev/null\n";
            if (write(2, message, sizeof message - 1) < 0) {
                // standard error is closed too: nothing more can be said
            }
            _exit(255);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

const char *os_strerror(int err)
{
    return strerror(err);
}

FILE *os_fopen(const char *path, const char *mode)
{
    // open, then a stream over the descriptor: fopen's "e" flag would say
    // O_CLOEXEC too, but not every C library knows it. A device or a FIFO
    // named by mistake must neither make the open wait nor become the
    // process's terminal; on a regular file O_NONBLOCK changes nothing, and
    // it is cleared again all the same.
    const int fd = open(path, (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY |
                                  O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    FILE *fp = flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ? nullptr
                                                                              : fdopen(fd, mode);
    if (!fp) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return fp;
}

int os_openread(const char *path)
{
    // O_NONBLOCK lets a FIFO be opened without a writer; reads of a regular
    // file ignore it.
    return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

int os_opencreate(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
}

int os_close(int fd)
{
    return close(fd);
}

int64_t os_read(int fd, void *buf, size_t len)
{
    ssize_t n;
    while ((n = read(fd, buf, len)) < 0 && errno == EINTR) {
    }
    return n;
}

int os_fstat(int fd, os_filestat *st)
{
    struct stat s;
    if (fstat(fd, &s) != 0)
        return -1;
    st->size = s.st_size;
    st->regular = S_ISREG(s.st_mode);
    st->volume = s.st_dev;
    st->index = s.st_ino;
#ifdef __APPLE__
    const timespec &changed = s.st_ctimespec;
#else
    const timespec &changed = s.st_ctim;
#endif
    st->changed = uint64_t(changed.tv_sec) * 1000000000u + uint64_t(changed.tv_nsec);
    return 0;
}

int os_seek(FILE *fp, int64_t offset, int whence)
{
    return fseeko(fp, static_cast<off_t>(offset), whence);
}

int64_t os_tell(FILE *fp)
{
    return ftello(fp);
}

int os_sync(int fd)
{
    int r;
#ifdef __APPLE__
    // macOS's fsync leaves the data in the drive's cache; F_FULLFSYNC flushes
    // that too. A file system that refuses it gets fsync, the best it offers.
    while ((r = fcntl(fd, F_FULLFSYNC)) != 0 && errno == EINTR) {
    }
    if (r != 0 && (errno == ENOTSUP || errno == EINVAL || errno == ENOTTY)) {
        while ((r = fsync(fd)) != 0 && errno == EINTR) {
        }
    }
#else
    while ((r = fdatasync(fd)) != 0 && errno == EINTR) {
    }
#endif
    return r;
}

int os_truncate(int fd, int64_t length)
{
    return ftruncate(fd, static_cast<off_t>(length));
}

int64_t os_freespace(int fd)
{
    // A file system that reports no size at all (a memory file with no
    // limit, for one) says nothing of its free space either.
    struct statvfs s;
    if (fstatvfs(fd, &s) != 0 || s.f_blocks == 0)
        return -1;
    const uint64_t bytes = uint64_t(s.f_bavail) * s.f_frsize;
    return int64_t(bytes > INT64_MAX ? INT64_MAX : bytes);
}

int os_lock(int fd)
{
    // flock is advisory: it serializes runs and blocks no reader.
    int r;
    while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return r;
}


#endif
