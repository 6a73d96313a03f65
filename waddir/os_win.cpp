// SPDX-License-Identifier: MIT
// os.h on Windows: the files (os_win_console.cpp has the process and its
// console). Each system call made on a file passes through its fault
// point (faults.h), which a release build compiles to the call alone; a
// call that says its success as a BOOL is given there as 0 or -1, as POSIX's
// would be, with the reason in Windows' last error. The library uses nothing
// of the C++ runtime here, so that a C program links it with the C compiler
// alone: no C++ library types, memory from malloc.

#include "os.h"
#include "faults.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
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
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_SHARING_VIOLATION:
        errno = ETXTBSY; // told apart by os_strerror
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

// A UTF-8 string as UTF-16, in memory the caller frees with unwiden; null,
// with errno set, when it is not UTF-8 or no memory is left.
static wchar_t *widen(const char *utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    wchar_t *wide = static_cast<wchar_t *>(malloc(size_t(n) * sizeof(wchar_t)));
    if (!wide) {
        errno = ENOMEM;
        return nullptr;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, n);
    return wide;
}

// Frees what widen gave, keeping errno and Windows' last error, which the
// caller may still read.
static void unwiden(wchar_t *wide)
{
    const int err = errno;
    const DWORD last = GetLastError();
    free(wide);
    errno = err;
    SetLastError(last);
}

static HANDLE oshandle(int fd)
{
    if (fd < 0) {
        errno = EBADF;
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

const char *os_strerror(int err)
{
    // Windows refuses to cut a file that a program has mapped, and to open
    // one that another program has open without sharing it, which the C
    // runtime has no words for.
    if (err == EBUSY)
        return "another program has the file mapped into memory";
    if (err == ETXTBSY)
        return "another program has the file open and shares it with no other; close that "
               "program, then try again";
    return strerror(err);
}

FILE *os_fopen(const char *path, const char *mode)
{
    // The mode is ASCII; N keeps the file from programs the process starts.
    const size_t n = strlen(mode);
    if (n > 6) {
        errno = EINVAL;
        return nullptr;
    }
    wchar_t wmode[8];
    for (size_t i = 0; i < n; i++)
        wmode[i] = wchar_t(mode[i]);
    wmode[n] = L'N';
    wmode[n + 1] = L'\0';
    wchar_t *wpath = widen(path);
    if (!wpath)
        return nullptr;
    FILE *fp = OS_OPEN(path, _wfopen(wpath, wmode));
    // The C runtime says only that access was denied, to a folder or to a
    // file another program holds.
    const unsigned long why = _doserrno;
    const DWORD attributes = fp ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wpath);
    unwiden(wpath);
    if (!fp && errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        errno = EISDIR;
    else if (!fp && errno == EACCES && why == ERROR_SHARING_VIOLATION)
        errno = ETXTBSY;
    return fp;
}

int os_openread(const char *path)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return -1;
    // Backup semantics open a folder as well as a file.
    HANDLE h = OS_OPEN(path, CreateFileW(wpath, GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                         nullptr));
    unwiden(wpath);
    if (h == INVALID_HANDLE_VALUE)
        return seterrno();
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

int os_opencreate(const char *path)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return -1;
    const int fd = _wopen(wpath, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    unwiden(wpath);
    return fd;
}

int os_createnew(const char *path)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return -1;
    const int fd = _wopen(wpath, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    unwiden(wpath);
    return fd;
}

int os_replace(const char *from, const char *to)
{
    wchar_t *wfrom = widen(from), *wto = wfrom ? widen(to) : nullptr;
    const BOOL ok = wto && MoveFileExW(wfrom, wto, MOVEFILE_REPLACE_EXISTING |
                                                       MOVEFILE_WRITE_THROUGH);
    const int r = ok ? 0 : wto ? seterrno() : -1;
    unwiden(wfrom);
    unwiden(wto);
    return r;
}

int os_remove(const char *path)
{
    wchar_t *wpath = widen(path);
    const int r = wpath && DeleteFileW(wpath) ? 0 : wpath ? seterrno() : -1;
    unwiden(wpath);
    return r;
}

int os_close(int fd)
{
    return OS_CALL("close", fd, _close(fd));
}

int os_fclose(FILE *fp)
{
    return OS_CLOSE(_fileno(fp), fclose(fp));
}

int os_flush(FILE *fp)
{
    return OS_CALL("fflush", _fileno(fp), fflush(fp));
}

int64_t os_read(int fd, void *buf, size_t len)
{
    return OS_CALL("read", fd, _read(fd, buf, unsigned(len < INT_MAX ? len : INT_MAX)),
                   ", \"\", %zu", len);
}

// The position of a positioned read or write.
static OVERLAPPED at(int64_t offset)
{
    OVERLAPPED o = {};
    o.Offset = DWORD(uint64_t(offset) & 0xffffffff);
    o.OffsetHigh = DWORD(uint64_t(offset) >> 32);
    return o;
}

int64_t os_pread(int fd, void *buf, size_t len, int64_t offset)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    size_t done = 0;
    while (done < len) {
        OVERLAPPED o = at(offset + int64_t(done));
        DWORD n = 0;
        const DWORD ask = DWORD(len - done < 1u << 30 ? len - done : 1u << 30);
        // The end of the file is no error: 0 bytes read.
        const int64_t r = OS_CALL("pread64", fd,
                                  ReadFile(h, static_cast<char *>(buf) + done, ask, &n, &o) ||
                                          GetLastError() == ERROR_HANDLE_EOF
                                      ? int64_t(n)
                                      : -1,
                                  ", \"\", %lu, %lld", static_cast<unsigned long>(ask),
                                  static_cast<long long>(offset + int64_t(done)));
        if (r < 0)
            return seterrno();
        if (r == 0)
            break;
        done += n;
    }
    return int64_t(done);
}

int os_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    for (size_t done = 0; done < len;) {
        OVERLAPPED o = at(offset + int64_t(done));
        const char *from = static_cast<const char *>(buf) + done;
        DWORD n = 0;
        DWORD ask = DWORD(len - done < 1u << 30 ? len - done : 1u << 30);
        const int64_t r = OS_WRITE("pwrite64", fd, WriteFile(h, from, ask, &n, &o) ? int64_t(n) : -1,
                                   from, ask, offset + int64_t(done));
        if (r < 0)
            return seterrno();
        done += n;
    }
    return 0;
}

// The file's full 128-bit identifier where the volume gives one; the 32-bit
// serial and 64-bit index, which two files of ReFS may share, where it does
// not.
static void idof(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info, os_fileid *id)
{
    FILE_ID_INFO full;
    if (GetFileInformationByHandleEx(h, FileIdInfo, &full, sizeof full)) {
        id->volume = full.VolumeSerialNumber;
        memcpy(id->index, full.FileId.Identifier, sizeof id->index);
    } else {
        *id = {info.dwVolumeSerialNumber,
               {(uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 0}};
    }
}

int os_fstat(int fd, os_filestat *st)
{
    HANDLE h = oshandle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    if (OS_CALL("newfstatat", fd, GetFileInformationByHandle(h, &info) ? 0 : -1, ", \"\"") != 0)
        return seterrno();
    st->size = int64_t((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    st->regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  GetFileType(h) == FILE_TYPE_DISK;
    idof(h, info, &st->id);
    // In units of 100 ns. The change time, which every write moves and no
    // program can set back; the last write time, which SetFileTime can,
    // only where the file system keeps no change time.
    FILE_BASIC_INFO basic;
    const uint64_t changed =
        GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) && basic.ChangeTime.QuadPart
            ? uint64_t(basic.ChangeTime.QuadPart)
            : (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    st->changed = changed * 100;
    return 0;
}

int os_seek(FILE *fp, int64_t offset, int whence)
{
    return OS_CALL("lseek", _fileno(fp), _fseeki64(fp, offset, whence), ", %lld",
                   static_cast<long long>(offset));
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
    return OS_CALL("fdatasync", fd, FlushFileBuffers(h) ? 0 : -1) == 0 ? 0 : seterrno();
}

int os_truncate(int fd, int64_t length)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER end;
    end.QuadPart = length;
    return OS_CALL("ftruncate", fd,
                   SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h) ? 0 : -1,
                   ", %lld", static_cast<long long>(length)) == 0
               ? 0
               : seterrno();
}

int64_t os_freespace(int fd)
{
    // The free space of the volume that holds the file's path.
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    wchar_t path[MAX_PATH], volume[MAX_PATH];
    const DWORD n = GetFinalPathNameByHandleW(h, path, MAX_PATH, FILE_NAME_NORMALIZED);
    const bool named = n > 0 && n < MAX_PATH && GetVolumePathNameW(path, volume, MAX_PATH);
    ULARGE_INTEGER available;
    if (OS_CALL("fstatfs", fd,
                named && GetDiskFreeSpaceExW(volume, &available, nullptr, nullptr) ? 0 : -1) != 0)
        return -1;
    return int64_t(available.QuadPart > INT64_MAX ? INT64_MAX : available.QuadPart);
}

#ifndef _UCRT
// The C runtime's record of each descriptor, as msvcrt.dll lays it out: its
// append flag is nowhere else to be read.
struct ioinfo {
    intptr_t osfhnd;
    char osfile;
    char pipech;
    int lockinitflag;
    CRITICAL_SECTION lock;
};
extern "C" __declspec(dllimport) ioinfo *__pioinfo[];
#endif

bool os_appends(FILE *fp)
{
    const int fd = _fileno(fp);
    if (fd < 0)
        return false;
#ifdef _UCRT
    // The universal C runtime keeps its record to itself.
    return false;
#else
    constexpr int perblock = 32, append = 0x20;
    return (__pioinfo[fd / perblock][fd % perblock].osfile & append) != 0;
#endif
}

int os_lock(int fd, bool wait)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED o = at(int64_t(lockbyte));
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (OS_CALL("flock", fd, LockFileEx(h, flags, 0, 1, 0, &o) ? 0 : -1,
                wait ? ", LOCK_EX" : ", LOCK_EX|LOCK_NB") == 0)
        return 0;
    // Held by another: a planned failure's error is neither of these.
    if (!wait && (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING))
        return 1;
    return seterrno();
}

int os_unlock(int fd)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED o = at(int64_t(lockbyte));
    return OS_CALL("flock", fd, UnlockFileEx(h, 0, 1, 0, &o) ? 0 : -1, ", LOCK_UN") == 0
               ? 0
               : seterrno();
}

int os_lockheld(int fd)
{
    // Taking the lock without waiting succeeds only when nobody holds it,
    // and is undone. A shared lock over two bytes is granted past the
    // exclusive lock of the same handle alone: then this handle holds it,
    // and the probe, which no other lock matches exactly, is released.
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED o = at(int64_t(lockbyte));
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o)) {
        UnlockFileEx(h, 0, 1, 0, &o);
        return 0;
    }
    if (!LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 2, 0, &o))
        return 0;
    UnlockFileEx(h, 0, 2, 0, &o);
    return 1;
}

int os_lockelsewhere(int)
{
    return -1; // a process's other handles are not listed
}

#ifdef LUMPGRAFT_FAULTPOINTS
bool os_rawid(int fd, os_fileid *id)
{
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return false;
    idof(h, info, id);
    return true;
}

bool os_rawpathid(const char *path, os_fileid *id)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return false;
    HANDLE h = CreateFileW(wpath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    unwiden(wpath);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
    if (known)
        idof(h, info, id);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return known;
}

void os_raiseerror(int err)
{
    errno = err;
    SetLastError(err == ENOSPC ? ERROR_DISK_FULL : ERROR_IO_DEVICE);
}

#endif
