// SPDX-License-Identifier: MIT
// platform: the calls that differ between POSIX systems and Windows, the
// Windows implementation first, then the POSIX one, function by function in
// the same order; the library and the command call only these, and read the
// same on every system. Everything here is static: each file that uses a
// call compiles its own copy, so that the library exports no name but those
// of waddir.h.
//
// Paths are UTF-8 everywhere. A call that fails returns -1 (or a null
// pointer) with the reason in errno, so that callers can report it with
// strerror. A call here that a signal interrupts is repeated here, not by
// callers. Reads, writes and seeks on a stream are not repeated: on a regular
// file on a local disk, which is all the program edits, the system does not
// interrupt them.

#ifndef PLATFORM_H
#define PLATFORM_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// What identifies a file itself: equal values mean one file, whatever path
// or link opened it. The index is 128 bits, as Windows gives it on volumes
// whose files it numbers so (ReFS); elsewhere its second half is 0.
struct os_fileid {
    uint64_t volume;
    uint64_t index[2];
};

static inline bool os_sameid(const os_fileid &a, const os_fileid &b)
{
    return a.volume == b.volume && a.index[0] == b.index[0] && a.index[1] == b.index[1];
}

// What the program needs to know of an open file.
struct os_filestat {
    int64_t size;     // length in bytes
    bool regular;     // a regular file, not a folder, a device or a FIFO
    os_fileid id;     // the file itself
    uint64_t changed; // when its content or status last changed, in
                      // nanoseconds: every write moves it, and no program
                      // can set it back
};

// Prepares the process: the arguments as UTF-8; standard output and
// standard error written byte for byte, without newline translation; a
// closed standard stream opened on the null device, so that no file the
// program opens takes its place and receives its messages; and a write to
// a closed pipe or past the file size limit failing with EPIPE or EFBIG
// instead of ending the process by a signal. Returns the standard streams
// the process started without, as bits 1 << 0, 1 << 1 and 1 << 2.
static inline int os_startup(int *argc, char ***argv);

// The reason for the errno value err, as a user can read it.
static inline const char *os_strerror(int err);

// Opening and closing. All access is binary, and no file opened here is
// inherited by programs the process starts: a child holding the archive
// would also hold its lock. os_fopen opens an existing file, mode "rb" or
// "r+b". os_openread opens a folder, a FIFO or a device too, without waiting
// for a FIFO's writer, so that its status can be read and it can be refused
// by name; os_opencreate creates a missing file and does not truncate one.
static inline FILE *os_fopen(const char *path, const char *mode);
static inline int os_openread(const char *path);
static inline int os_opencreate(const char *path);
static inline int os_close(int fd);
static inline int os_fclose(FILE *fp);
// Pushes what the stream holds unwritten to its file.
static inline int os_flush(FILE *fp);

// Reads up to len bytes: the count read, 0 at the end of the file, or -1.
static inline int64_t os_read(int fd, void *buf, size_t len);
// Reads up to len bytes at `offset`, bypassing any stream's buffer: the count
// read, less only at the end of the file, or -1.
static inline int64_t os_pread(int fd, void *buf, size_t len, int64_t offset);
// Writes all len bytes at `offset`: 0, or -1.
static inline int os_pwrite(int fd, const void *buf, size_t len, int64_t offset);
static inline int os_fstat(int fd, os_filestat *st);

// 64-bit positions on a stream; whence is SEEK_SET, SEEK_CUR or SEEK_END.
static inline int os_seek(FILE *fp, int64_t offset, int whence);
static inline int64_t os_tell(FILE *fp);

// Makes the file's data, and the length needed to read it, durable.
static inline int os_sync(int fd);
// Sets the file's length to `length` bytes.
static inline int os_truncate(int fd, int64_t length);
// The bytes free for this process on the file's volume, or -1 when the
// system cannot tell, as for a file system that reports no size.
static inline int64_t os_freespace(int fd);
// Whether writes through the stream land at the end of the file whatever
// its position: opened for appending.
static inline bool os_appends(FILE *fp);
// Waits for, then holds, the exclusive lock that serializes changes to one
// file, until os_unlock or until the descriptor is closed. Readers are never
// blocked by it. The lock belongs to the open file (POSIX's open file
// description, Windows' handle): another open of the same file, in this
// process too, waits for it like another program's. With `wait` false, a
// lock another holds is not waited for: 1 says so. A descriptor that holds
// the lock must not ask for it again: Windows' would wait for itself.
static inline int os_lock(int fd, bool wait = true);
static inline int os_unlock(int fd);
// Whether the open file of descriptor fd holds that lock now: 1, or 2 for a
// shared lock a program took itself, or 0, asked of the system; or -1 where
// the system cannot tell (POSIX systems other than Linux), or on an error.
static inline int os_lockheld(int fd);
// Whether another open file of this process, not fd's, holds the lock of
// fd's file, as the system sees it: 1 or 0, or -1 where it cannot tell.
static inline int os_lockelsewhere(int fd);
// This process's identifier, which a forked child does not share.
static inline int64_t os_pid();

// Interruption by the user: SIGINT, SIGTERM and SIGHUP, or Ctrl-C and
// Ctrl-Break in a Windows console. os_catchinterrupts has `record` called
// with the signal's number instead of the process ending at once (a signal
// ignored when the program started stays ignored); a system call the
// process was in is finished first. os_endbysignal ends the process by the
// signal, as if it had not been caught, even from inside a handler of that
// signal: a shell sees an interruption. It may be called from a signal
// handler. os_signalname names a signal ("SIGUSR1", "Ctrl-C").
static inline void os_catchinterrupts(void (*record)(int));
[[noreturn]] static inline void os_endbysignal(int sig);
static inline const char *os_signalname(int sig);

// ---------------------------------------------------------------------------
// Fault points. Each primitive here asks its fault point before each system
// call it makes on a file. In a test build (LUMPGRAFT_FAULTPOINTS), a plan
// may have the call fail with a chosen error, set as the system sets it
// (errno, and Windows' last error), so that the code that checks the result,
// maps the error and reports it runs as on a real failure; write part of its
// bytes, then fail ("short"); or end the process at once, with no undo and
// no flush, as a kill would. Each call is recorded too, a line each, as
// strace -xx prints it, for the power-loss replay. Only the calls on the
// file LUMPGRAFT_FAULTPATH names count, as with strace's -P:
//   LUMPGRAFT_FAULTS=call:what:when[,...]  the when-th such call named
//       `call` (pwrite64, fdatasync, flock...), or with "when+" that and
//       every later one: `what` is EIO, ENOSPC, EINTR, short or kill;
//   LUMPGRAFT_FAULTLOG=path  where the record goes.
// In a release build the points are nothing: OS_CALL is the call itself.
enum { os_go, os_fail, os_short };

#ifdef LUMPGRAFT_FAULTPOINTS
#include <cstdarg>
#include <cstdlib>
#include <cstring>

struct os_faultcall {
    const char *call;
    int fd;
    bool watched;
    int action;
};

// The plan and the calls counted so far, once for the whole process.
struct os_faultplan {
    bool parsed, known;
    char path[1024], log[1024];
    os_fileid id;
    struct {
        char call[16];
        int when;
        bool later;
        int what; // an errno value, or -1 for a kill, -2 for a short write
    } faults[64];
    int nfaults;
    struct {
        char call[16];
        int made;
    } calls[32];
};

static inline bool os_rawid(int fd, os_fileid *id);
static inline bool os_rawpathid(const char *path, os_fileid *id);
static inline void os_raiseerror(int err);
[[noreturn]] static inline void os_kill();
static inline void os_setvariable(const char *name, const char *value);

// The fault points never throw, so that no caller needs to clean up after
// them (a C program links the library without the C++ runtime): their
// buffers are static, and a file they write holds no local in scope.
#define OS_NOTHROW __attribute__((nothrow))

// The command and the library each compile the fault points, and the
// library exports no name through which they could share a plan: the first
// to look makes it and leaves its address in the environment, with the
// process's identifier, where the others find it. A program the process
// starts inherits the variable, but is another process, and makes its own.
OS_NOTHROW static inline os_faultplan &os_faults()
{
    static os_faultplan own, *plan;
    static char shared[64];
    static long long pid;
    static unsigned long long at;
    if (!plan) {
        const char *found = getenv("LUMPGRAFT_FAULTSTATE");
        if (found && sscanf(found, "%lld:%llx", &pid, &at) == 2 && pid == os_pid()) {
            plan = reinterpret_cast<os_faultplan *>(uintptr_t(at));
        } else {
            plan = &own;
            snprintf(shared, sizeof shared, "%lld:%llx", static_cast<long long>(os_pid()),
                     static_cast<unsigned long long>(uintptr_t(plan)));
            os_setvariable("LUMPGRAFT_FAULTSTATE", shared);
        }
    }
    return *plan;
}

OS_NOTHROW static inline void os_faultparse()
{
    os_faultplan &p = os_faults();
    static char call[16], what[16];
    static int when, used;
    p.parsed = true;
    const char *path = getenv("LUMPGRAFT_FAULTPATH"), *log = getenv("LUMPGRAFT_FAULTLOG");
    snprintf(p.path, sizeof p.path, "%s", path ? path : "");
    snprintf(p.log, sizeof p.log, "%s", log ? log : "");
    p.known = p.path[0] && os_rawpathid(p.path, &p.id);
    const char *plan = getenv("LUMPGRAFT_FAULTS");
    while (plan && *plan && p.nfaults < 64 &&
           sscanf(plan, "%15[^:]:%15[^:]:%d%n", call, what, &when, &used) == 3) {
        auto &f = p.faults[p.nfaults++];
        memcpy(f.call, call, sizeof f.call);
        f.when = when;
        plan += used;
        f.later = *plan == '+';
        plan += f.later;
        plan += *plan == ',';
        f.what = strcmp(what, "kill") == 0    ? -1
                 : strcmp(what, "short") == 0 ? -2
                 : strcmp(what, "ENOSPC") == 0 ? ENOSPC
                 : strcmp(what, "EINTR") == 0  ? EINTR
                                               : EIO;
    }
}

// The fault planned for this call on descriptor fd, or on the file at
// `path` before it is opened; a kill ends the process here.
OS_NOTHROW static inline os_faultcall os_faultpoint(const char *call, int fd, const char *path)
{
    os_faultplan &p = os_faults();
    static os_fileid id;
    if (!p.parsed)
        os_faultparse();
    os_faultcall f = {call, fd, false, os_go};
    f.watched = p.path[0] && (path ? strcmp(path, p.path) == 0
                                   : p.known && os_rawid(fd, &id) && os_sameid(id, p.id));
    if (!f.watched)
        return f;
    int i = 0;
    while (i < 31 && p.calls[i].call[0] && strcmp(p.calls[i].call, call) != 0)
        i++;
    snprintf(p.calls[i].call, sizeof p.calls[i].call, "%s", call);
    const int made = ++p.calls[i].made;
    for (int k = 0; k < p.nfaults; k++) {
        const auto &planned = p.faults[k];
        if (strcmp(planned.call, call) != 0 ||
            !(made == planned.when || (planned.later && made > planned.when)))
            continue;
        if (planned.what == -1)
            os_kill();
        f.action = planned.what == -2 ? os_short : os_fail;
        os_raiseerror(planned.what == -2 ? EIO : planned.what);
        break;
    }
    return f;
}

// Appends `count` records' worth of text to the record, keeping errno.
OS_NOTHROW static inline void os_faultappend(const char *text, const unsigned char *bytes,
                                             size_t count, const char *tail)
{
    const int err = errno;
    FILE *log = fopen(os_faults().log, "ab");
    if (log) {
        fputs(text, log);
        for (size_t i = 0; bytes && i < count; i++)
            fprintf(log, "\\x%02x", bytes[i]);
        fputs(tail, log);
        fclose(log);
    }
    errno = err;
}

static inline const char *os_faultstatus(int64_t result)
{
    return result >= 0 ? "" : errno == ENOSPC ? " ENOSPC" : errno == EINTR ? " EINTR" : " EIO";
}

// Records what came of the call: `result` (-1 with errno) and the rest of
// its arguments after the descriptor, formatted; a write's bytes as \xHH.
OS_NOTHROW static inline void os_faultrecord(const os_faultcall &f, int64_t result,
                                             const char *fmt, ...)
{
    static char line[1536];
    if (!f.watched || !os_faults().log[0])
        return;
    {
        static char args[1024];
        va_list list;
        va_start(list, fmt);
        vsnprintf(args, sizeof args, fmt, list);
        va_end(list);
        snprintf(line, sizeof line, "%s(%d%s) = %lld%s\n", f.call, f.fd, args,
                 static_cast<long long>(result), os_faultstatus(result));
    }
    os_faultappend(line, nullptr, 0, "");
}

OS_NOTHROW static inline void os_faultrecordwrite(const os_faultcall &f, int64_t result,
                                                  const void *data, size_t len, int64_t offset)
{
    static char head[64], tail[128];
    if (!f.watched || !os_faults().log[0])
        return;
    snprintf(head, sizeof head, "%s(%d, \"", f.call, f.fd);
    snprintf(tail, sizeof tail, "\", %zu, %lld) = %lld%s\n", len,
             static_cast<long long>(offset), static_cast<long long>(result),
             os_faultstatus(result));
    os_faultappend(head, static_cast<const unsigned char *>(data), len, tail);
}

#define OS_FAULT(call, fd, path) os_faultpoint(call, fd, path)
#define OS_RECORD(...) os_faultrecord(__VA_ARGS__)
#define OS_RECORDWRITE(...) os_faultrecordwrite(__VA_ARGS__)
#else
struct os_faultcall {
    int action;
};
#define OS_FAULT(call, fd, path) (os_faultcall{os_go})
#define OS_RECORD(...) ((void)0)
#define OS_RECORDWRITE(...) ((void)0)
#endif
// The system call `call`, or, when the fault point `f` planned a failure,
// `failed` in its place.
#define OS_CALL(f, failed, call) ((f).action == os_fail ? (failed) : (call))

#ifdef _WIN32

#include <climits>
#include <csignal>
#include <cstdlib>
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
constexpr uint64_t lockbyte = uint64_t{1} << 32;

// errno for the last Windows error, so that strerror can tell it.
static inline int seterrno()
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

// A UTF-8 string as UTF-16, in memory the caller frees with unwiden; null,
// with errno set, when it is not UTF-8 or no memory is left. The library
// uses nothing of the C++ runtime here, so that a C program links it with
// the C compiler alone.
static inline wchar_t *widen(const char *utf8)
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
static inline void unwiden(wchar_t *wide)
{
    const int err = errno;
    const DWORD last = GetLastError();
    free(wide);
    errno = err;
    SetLastError(last);
}

static inline HANDLE oshandle(int fd)
{
    if (fd < 0) {
        errno = EBADF;
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

static inline int os_startup(int *argc, char ***argv)
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
    int closed = 0;
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; fd++) {
        const HANDLE h = GetStdHandle(streams[fd]);
        closed |= h == nullptr || h == INVALID_HANDLE_VALUE ? 1 << fd : 0;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return closed;
}

static inline const char *os_strerror(int err)
{
    // Windows refuses to cut a file that a program has mapped, which the C
    // runtime has no words for.
    if (err == EBUSY)
        return "another program has the file mapped into memory";
    return strerror(err);
}

static inline FILE *os_fopen(const char *path, const char *mode)
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
    const os_faultcall f = OS_FAULT("openat", -1, path);
    FILE *fp = OS_CALL(f, nullptr, _wfopen(wpath, wmode));
    OS_RECORD(f, fp ? _fileno(fp) : -1, ", \"%s\"", path);
    // The C runtime says only that access was denied to a folder.
    const DWORD attributes = fp ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wpath);
    unwiden(wpath);
    if (!fp && errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        errno = EISDIR;
    return fp;
}

static inline int os_openread(const char *path)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return -1;
    // Backup semantics open a folder as well as a file.
    const os_faultcall f = OS_FAULT("openat", -1, path);
    HANDLE h = OS_CALL(f, INVALID_HANDLE_VALUE,
                       CreateFileW(wpath, GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    unwiden(wpath);
    OS_RECORD(f, h == INVALID_HANDLE_VALUE ? -1 : 0, ", \"%s\"", path);
    if (h == INVALID_HANDLE_VALUE)
        return seterrno();
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

static inline int os_opencreate(const char *path)
{
    wchar_t *wpath = widen(path);
    if (!wpath)
        return -1;
    const int fd = _wopen(wpath, _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                          _S_IREAD | _S_IWRITE);
    unwiden(wpath);
    return fd;
}

static inline int64_t os_read(int fd, void *buf, size_t len)
{
    const os_faultcall f = OS_FAULT("read", fd, nullptr);
    const int64_t r = OS_CALL(f, -1, _read(fd, buf, unsigned(len < INT_MAX ? len : INT_MAX)));
    OS_RECORD(f, r, ", \"\", %zu", len);
    return r;
}

// The position of a positioned read or write.
static inline OVERLAPPED at(int64_t offset)
{
    OVERLAPPED o = {};
    o.Offset = DWORD(uint64_t(offset) & 0xffffffff);
    o.OffsetHigh = DWORD(uint64_t(offset) >> 32);
    return o;
}

static inline int64_t os_pread(int fd, void *buf, size_t len, int64_t offset)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    size_t done = 0;
    while (done < len) {
        OVERLAPPED o = at(offset + int64_t(done));
        DWORD n = 0;
        const DWORD ask = DWORD(len - done < 1u << 30 ? len - done : 1u << 30);
        const os_faultcall f = OS_FAULT("pread64", fd, nullptr);
        const BOOL ok = OS_CALL(f, FALSE, ReadFile(h, static_cast<char *>(buf) + done, ask, &n, &o));
        OS_RECORD(f, ok || GetLastError() == ERROR_HANDLE_EOF ? int64_t(n) : -1, ", \"\", %lu, %lld",
                  static_cast<unsigned long>(ask), static_cast<long long>(offset + int64_t(done)));
        if (!ok) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            return seterrno();
        }
        if (n == 0)
            break;
        done += n;
    }
    return int64_t(done);
}

static inline int os_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    for (size_t done = 0; done < len;) {
        OVERLAPPED o = at(offset + int64_t(done));
        DWORD n = 0;
        DWORD ask = DWORD(len - done < 1u << 30 ? len - done : 1u << 30);
        const os_faultcall f = OS_FAULT("pwrite64", fd, nullptr);
        ask = f.action == os_short ? ask / 2 : ask;
        const BOOL ok = OS_CALL(f, FALSE, WriteFile(h, static_cast<const char *>(buf) + done, ask,
                                                    &n, &o));
        OS_RECORDWRITE(f, ok ? int64_t(n) : -1, static_cast<const char *>(buf) + done,
                       ok ? size_t(n) : size_t(ask), offset + int64_t(done));
        if (!ok || f.action == os_short) {
            SetLastError(ok ? ERROR_IO_DEVICE : GetLastError());
            return seterrno();
        }
        done += n;
    }
    return 0;
}

// The file's full 128-bit identifier where the volume gives one; the 32-bit
// serial and 64-bit index, which two files of ReFS may share, where it does
// not.
static inline void os_idof(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info, os_fileid *id)
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

static inline int os_fstat(int fd, os_filestat *st)
{
    HANDLE h = oshandle(fd);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const os_faultcall f = OS_FAULT("newfstatat", fd, nullptr);
    const BOOL ok = OS_CALL(f, FALSE, GetFileInformationByHandle(h, &info));
    OS_RECORD(f, ok ? 0 : -1, ", \"\"");
    if (!ok)
        return seterrno();
    st->size = int64_t((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    st->regular = !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  GetFileType(h) == FILE_TYPE_DISK;
    os_idof(h, info, &st->id);
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

static inline int os_seek(FILE *fp, int64_t offset, int whence)
{
    const os_faultcall f = OS_FAULT("lseek", _fileno(fp), nullptr);
    const int r = OS_CALL(f, -1, _fseeki64(fp, offset, whence));
    OS_RECORD(f, r == 0 ? offset : -1, ", %lld", static_cast<long long>(offset));
    return r;
}

static inline int64_t os_tell(FILE *fp)
{
    return _ftelli64(fp);
}

static inline int os_sync(int fd)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const os_faultcall f = OS_FAULT("fdatasync", fd, nullptr);
    const BOOL ok = OS_CALL(f, FALSE, FlushFileBuffers(h));
    OS_RECORD(f, ok ? 0 : -1, "");
    return ok ? 0 : seterrno();
}

static inline int os_truncate(int fd, int64_t length)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER at;
    at.QuadPart = length;
    const os_faultcall f = OS_FAULT("ftruncate", fd, nullptr);
    const BOOL ok =
        OS_CALL(f, FALSE, SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h));
    OS_RECORD(f, ok ? 0 : -1, ", %lld", static_cast<long long>(length));
    return ok ? 0 : seterrno();
}

static inline int64_t os_freespace(int fd)
{
    // The free space of the volume that holds the file's path.
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    wchar_t path[MAX_PATH], volume[MAX_PATH];
    const DWORD n = GetFinalPathNameByHandleW(h, path, MAX_PATH, FILE_NAME_NORMALIZED);
    ULARGE_INTEGER available;
    const os_faultcall f = OS_FAULT("fstatfs", fd, nullptr);
    const BOOL ok = OS_CALL(f, FALSE,
                            n > 0 && n < MAX_PATH && GetVolumePathNameW(path, volume, MAX_PATH) &&
                                GetDiskFreeSpaceExW(volume, &available, nullptr, nullptr));
    OS_RECORD(f, ok ? 0 : -1, "");
    if (!ok)
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

static inline bool os_appends(FILE *fp)
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

static inline int os_lock(int fd, bool wait)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED o = at(int64_t(lockbyte));
    const os_faultcall f = OS_FAULT("flock", fd, nullptr);
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    const BOOL ok = OS_CALL(f, FALSE, LockFileEx(h, flags, 0, 1, 0, &o));
    OS_RECORD(f, ok ? 0 : -1, wait ? ", LOCK_EX" : ", LOCK_EX|LOCK_NB");
    if (!ok && !wait && f.action != os_fail &&
        (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING))
        return 1;
    return ok ? 0 : seterrno();
}

static inline int os_unlock(int fd)
{
    HANDLE h = oshandle(fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED o = at(int64_t(lockbyte));
    const os_faultcall f = OS_FAULT("flock", fd, nullptr);
    const BOOL ok = OS_CALL(f, FALSE, UnlockFileEx(h, 0, 1, 0, &o));
    OS_RECORD(f, ok ? 0 : -1, ", LOCK_UN");
    return ok ? 0 : seterrno();
}

static inline int os_lockheld(int fd)
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

static inline int os_lockelsewhere(int)
{
    return -1; // a process's other handles are not listed
}

static inline int64_t os_pid()
{
    return int64_t(GetCurrentProcessId());
}

// The console's handler runs on a thread of its own: it only records.
static void (*os_recorder)(int);
static inline BOOL WINAPI os_consoleevent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    os_recorder(event == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    return TRUE;
}

static inline void os_catchinterrupts(void (*record)(int))
{
    os_recorder = record;
    SetConsoleCtrlHandler(os_consoleevent, TRUE);
}

static inline void os_endbysignal(int)
{
    // What a console's Ctrl-C leaves as the status of a program it ends.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    std::_Exit(int(STATUS_CONTROL_C_EXIT));
}

static inline const char *os_signalname(int sig)
{
    switch (sig) {
    case SIGINT:
        return "Ctrl-C";
    case SIGBREAK:
        return "Ctrl-Break";
    case SIGTERM:
        return "SIGTERM";
    case SIGABRT:
        return "SIGABRT";
    default: {
        static char name[32];
        snprintf(name, sizeof name, "signal %d", sig);
        return name;
    }
    }
}

#ifdef LUMPGRAFT_FAULTPOINTS
static inline bool os_rawid(int fd, os_fileid *id)
{
    HANDLE h = fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        return false;
    os_idof(h, info, id);
    return true;
}

static inline bool os_rawpathid(const char *path, os_fileid *id)
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
        os_idof(h, info, id);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return known;
}

static inline void os_raiseerror(int err)
{
    errno = err;
    SetLastError(err == ENOSPC ? ERROR_DISK_FULL : ERROR_IO_DEVICE);
}

static inline void os_setvariable(const char *name, const char *value)
{
    static char entry[256];
    snprintf(entry, sizeof entry, "%s=%s", name, value);
    _putenv(entry);
}

static inline void os_kill()
{
    TerminateProcess(GetCurrentProcess(), 128 + 9);
    std::_Exit(128 + 9);
}
#endif

#else

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Repeats a call that a signal interrupted.
template <typename Call> static inline auto again(Call call)
{
    decltype(call()) r;
    while ((r = call()) == -1 && errno == EINTR) {
    }
    return r;
}

static inline int os_startup(int *, char ***)
{
    // Arguments arrive as the bytes typed, and no stream translates newlines.
    // open returns the lowest free descriptor, so a closed 0, 1 or 2 is
    // filled in order; a process that cannot even do that stops here.
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        closed |= 1 << fd;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            static const char message[] = "lumpgraft: cannot open /dev/null\n";
            if (write(2, message, sizeof message - 1) < 0) {
                // standard error is closed too: nothing more can be said
            }
            _exit(255);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return closed;
}

static inline const char *os_strerror(int err)
{
    return strerror(err);
}

static inline FILE *os_fopen(const char *path, const char *mode)
{
    // open, then a stream over the descriptor: fopen's "e" flag would say
    // O_CLOEXEC too, but not every C library knows it. A device or a FIFO
    // named by mistake must neither make the open wait nor become the
    // process's terminal; on a regular file O_NONBLOCK changes nothing, and
    // it is cleared again all the same.
    const int fd = again([&] {
        const os_faultcall f = OS_FAULT("openat", -1, path);
        const int r = OS_CALL(f, -1,
                              open(path, (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_CLOEXEC |
                                             O_NOCTTY | O_NONBLOCK));
        OS_RECORD(f, r, ", \"%s\"", path);
        return r;
    });
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

static inline int os_openread(const char *path)
{
    // O_NONBLOCK lets a FIFO be opened without a writer; reads of a regular
    // file ignore it.
    return again([&] {
        const os_faultcall f = OS_FAULT("openat", -1, path);
        const int r = OS_CALL(f, -1, open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        OS_RECORD(f, r, ", \"%s\"", path);
        return r;
    });
}

static inline int os_opencreate(const char *path)
{
    return again([&] { return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666); });
}

static inline int64_t os_read(int fd, void *buf, size_t len)
{
    return again([&] {
        const os_faultcall f = OS_FAULT("read", fd, nullptr);
        const ssize_t r = OS_CALL(f, -1, read(fd, buf, len));
        OS_RECORD(f, r, ", \"\", %zu", len);
        return r;
    });
}

static inline int64_t os_pread(int fd, void *buf, size_t len, int64_t offset)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = again([&] {
            const os_faultcall f = OS_FAULT("pread64", fd, nullptr);
            const ssize_t r = OS_CALL(f, -1,
                                      pread(fd, static_cast<char *>(buf) + done, len - done,
                                            static_cast<off_t>(offset + int64_t(done))));
            OS_RECORD(f, r, ", \"\", %zu, %lld", len - done,
                      static_cast<long long>(offset + int64_t(done)));
            return r;
        });
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return int64_t(done);
}

static inline int os_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    for (size_t done = 0; done < len;) {
        bool cut = false;
        const ssize_t n = again([&] {
            const os_faultcall f = OS_FAULT("pwrite64", fd, nullptr);
            const size_t ask = f.action == os_short ? (len - done) / 2 : len - done;
            const ssize_t r = OS_CALL(f, -1,
                                      pwrite(fd, static_cast<const char *>(buf) + done, ask,
                                             static_cast<off_t>(offset + int64_t(done))));
            OS_RECORDWRITE(f, r, static_cast<const char *>(buf) + done, r < 0 ? ask : size_t(r),
                           offset + int64_t(done));
            cut = f.action == os_short;
            return r;
        });
        if (n < 0 || cut) {
            errno = n < 0 ? errno : EIO;
            return -1;
        }
        done += size_t(n);
    }
    return 0;
}

static inline int os_fstat(int fd, os_filestat *st)
{
    struct stat s;
    const os_faultcall f = OS_FAULT("newfstatat", fd, nullptr);
    const int r = OS_CALL(f, -1, fstat(fd, &s));
    OS_RECORD(f, r, ", \"\"");
    if (r != 0)
        return -1;
    st->size = s.st_size;
    st->regular = S_ISREG(s.st_mode);
    st->id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
#ifdef __APPLE__
    const timespec &changed = s.st_ctimespec;
#else
    const timespec &changed = s.st_ctim;
#endif
    st->changed = uint64_t(changed.tv_sec) * 1000000000u + uint64_t(changed.tv_nsec);
    return 0;
}

static inline int os_seek(FILE *fp, int64_t offset, int whence)
{
    const os_faultcall f = OS_FAULT("lseek", fileno(fp), nullptr);
    const int r = OS_CALL(f, -1, fseeko(fp, static_cast<off_t>(offset), whence));
    OS_RECORD(f, r == 0 ? offset : -1, ", %lld", static_cast<long long>(offset));
    return r;
}

static inline int64_t os_tell(FILE *fp)
{
    return ftello(fp);
}

static inline int os_sync(int fd)
{
    return again([&] {
        const os_faultcall f = OS_FAULT("fdatasync", fd, nullptr);
#ifdef __APPLE__
        // macOS's fsync leaves the data in the drive's cache; F_FULLFSYNC
        // flushes that too. A file system that refuses it gets fsync, the
        // best it offers.
        int r = OS_CALL(f, -1, fcntl(fd, F_FULLFSYNC));
        if (r != 0 && (errno == ENOTSUP || errno == EINVAL || errno == ENOTTY))
            r = fsync(fd);
#else
        const int r = OS_CALL(f, -1, fdatasync(fd));
#endif
        OS_RECORD(f, r, "");
        return r;
    });
}

static inline int os_truncate(int fd, int64_t length)
{
    return again([&] {
        const os_faultcall f = OS_FAULT("ftruncate", fd, nullptr);
        const int r = OS_CALL(f, -1, ftruncate(fd, static_cast<off_t>(length)));
        OS_RECORD(f, r, ", %lld", static_cast<long long>(length));
        return r;
    });
}

static inline int64_t os_freespace(int fd)
{
    // A file system that reports no size at all (a memory file with no
    // limit, for one) says nothing of its free space either.
    struct statvfs s;
    const int r = again([&] {
        const os_faultcall f = OS_FAULT("fstatfs", fd, nullptr);
        const int got = OS_CALL(f, -1, fstatvfs(fd, &s));
        OS_RECORD(f, got, "");
        return got;
    });
    if (r != 0 || s.f_blocks == 0)
        return -1;
    const uint64_t bytes = uint64_t(s.f_bavail) * s.f_frsize;
    return int64_t(bytes > INT64_MAX ? INT64_MAX : bytes);
}

static inline bool os_appends(FILE *fp)
{
    const int flags = fileno(fp) >= 0 ? fcntl(fileno(fp), F_GETFL) : -1;
    return flags != -1 && (flags & O_APPEND) != 0;
}

static inline int os_lock(int fd, bool wait)
{
    // flock is advisory: it serializes changes and blocks no reader.
    const int r = again([&] {
        const os_faultcall f = OS_FAULT("flock", fd, nullptr);
        const int got = OS_CALL(f, -1, flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)));
        OS_RECORD(f, got, wait ? ", LOCK_EX" : ", LOCK_EX|LOCK_NB");
        return got;
    });
    return r != 0 && errno == EWOULDBLOCK ? 1 : r;
}

static inline int os_unlock(int fd)
{
    const os_faultcall f = OS_FAULT("flock", fd, nullptr);
    const int r = OS_CALL(f, -1, flock(fd, LOCK_UN));
    OS_RECORD(f, r, ", LOCK_UN");
    return r;
}

static inline int os_lockheld(int fd)
{
#ifdef __linux__
    // Linux lists the locks an open file holds among its descriptor's
    // details: "lock:\t1: FLOCK  ADVISORY  WRITE ...".
    char path[64], details[4096];
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const int info = again([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    if (info < 0)
        return -1;
    size_t got = 0;
    for (int64_t n; got < sizeof details - 1; got += size_t(n)) {
        n = again([&] { return read(info, details + got, sizeof details - 1 - got); });
        if (n <= 0)
            break;
    }
    close(info);
    details[got] = '\0';
    for (const char *line = strstr(details, "lock:"); line; line = strstr(line + 1, "lock:")) {
        const char *end = strchr(line, '\n');
        const char *flock = strstr(line, "FLOCK"), *write = strstr(line, "WRITE");
        const char *read = strstr(line, "READ");
        if (flock && (!end || flock < end) && write && (!end || write < end))
            return 1;
        if (flock && (!end || flock < end) && read && (!end || read < end))
            return 2;
    }
    return 0;
#else
    (void)fd;
    return -1;
#endif
}

static inline int os_lockelsewhere(int fd)
{
#ifdef __linux__
    // Every other descriptor of the process on the same file, as Linux
    // lists them; one that holds the lock is another open file's.
    struct stat mine, other;
    DIR *fds = opendir("/proc/self/fd");
    if (!fds || fstat(fd, &mine) != 0) {
        if (fds)
            closedir(fds);
        return -1;
    }
    int found = 0;
    while (const dirent *e = readdir(fds)) {
        const int n = atoi(e->d_name);
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || n == fd || n == dirfd(fds))
            continue;
        if (fstat(n, &other) == 0 && other.st_dev == mine.st_dev && other.st_ino == mine.st_ino &&
            os_lockheld(n) == 1)
            found = 1;
    }
    closedir(fds);
    return found;
#else
    (void)fd;
    return -1;
#endif
}

static inline int64_t os_pid()
{
    return int64_t(getpid());
}

static void (*os_recorder)(int);
static inline void os_recordsignal(int sig)
{
    os_recorder(sig);
}

static inline void os_catchinterrupts(void (*record)(int))
{
    // Each blocks the others while it is recorded, so that of two that
    // arrive together the first is recorded first.
    os_recorder = record;
    struct sigaction caught = {}, was = {};
    caught.sa_handler = os_recordsignal;
    caught.sa_flags = SA_RESTART;
    const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
    sigemptyset(&caught.sa_mask);
    for (int sig : interrupts)
        sigaddset(&caught.sa_mask, sig);
    for (int sig : interrupts) {
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &caught, nullptr);
    }
}

static inline void os_endbysignal(int sig)
{
    // Inside the signal's handler the signal is blocked, and would wait
    // there while the process went on to exit.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    signal(sig, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    std::_Exit(128 + sig);
}

static inline const char *os_signalname(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGALRM:
        return "SIGALRM";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGXCPU:
        return "SIGXCPU";
    case SIGXFSZ:
        return "SIGXFSZ";
    case SIGTSTP:
        return "SIGTSTP";
    case SIGABRT:
        return "SIGABRT";
    default: {
        static char name[32];
        snprintf(name, sizeof name, "signal %d", sig);
        return name;
    }
    }
}

#ifdef LUMPGRAFT_FAULTPOINTS
static inline bool os_rawid(int fd, os_fileid *id)
{
    struct stat s;
    if (fstat(fd, &s) != 0)
        return false;
    *id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
    return true;
}

static inline bool os_rawpathid(const char *path, os_fileid *id)
{
    struct stat s;
    if (stat(path, &s) != 0)
        return false;
    *id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
    return true;
}

static inline void os_raiseerror(int err)
{
    errno = err;
}

static inline void os_setvariable(const char *name, const char *value)
{
    setenv(name, value, 1);
}

static inline void os_kill()
{
    raise(SIGKILL);
    std::_Exit(128 + SIGKILL);
}
#endif

#endif

// The same on every system: close and fileno are POSIX's names, which the
// Windows C runtime has too.
static inline int os_close(int fd)
{
    const os_faultcall f = OS_FAULT("close", fd, nullptr);
    const int r = OS_CALL(f, -1, close(fd));
    OS_RECORD(f, r, "");
    return r;
}

static inline int os_fclose(FILE *fp)
{
    const os_faultcall f = OS_FAULT("close", fileno(fp), nullptr);
    const int r = OS_CALL(f, (fclose(fp), -1), fclose(fp));
    OS_RECORD(f, r, "");
    return r;
}

static inline int os_flush(FILE *fp)
{
    const os_faultcall f = OS_FAULT("fflush", fileno(fp), nullptr);
    const int r = OS_CALL(f, -1, fflush(fp));
    OS_RECORD(f, r, "");
    return r;
}

#endif
