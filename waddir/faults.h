// SPDX-License-Identifier: MIT
// Fault points. os_posix.cpp and os_win*.cpp write each system call they make
// on a file inside one of the macros below, the call itself first:
//   const int r = OS_CALL("fdatasync", fd, fdatasync(fd));
// In a release build each macro is the call itself, and nothing else here
// exists. In a test build (LUMPGRAFT_FAULTPOINTS, faults.cpp) a plan may
// have the call fail with a chosen error, set as the system sets it (errno,
// and Windows' last error), so that the code that checks the result, maps
// the error and reports it runs as on a real failure; write part of its
// bytes, then fail ("short"); or end the process at once, before the call,
// with no undo and no flush, as a kill would. Each call is recorded too, a
// line each, as strace -xx prints it, for the power-loss replay. Only the
// calls on the file LUMPGRAFT_FAULTPATH names count, as with strace's -P:
//   LUMPGRAFT_FAULTS=call:what:when[,...]  the when-th such call named
//       `call` (pwrite64, fdatasync, flock...), or with "when+" that and
//       every later one: `what` is EIO, ENOSPC, EINTR, short, kill, or
//       hangup (SIGHUP, or the closing of a Windows console), after which
//       the call is made;
//   LUMPGRAFT_FAULTLOG=path  where the record goes.
// The plan is the process's, one for the library and the command alike.
//
//   OS_CALL(name, fd, call, format, args...)  a call on descriptor fd
//       (strace's name for it), which fails with -1 (a null FILE *, or -1 as
//       a Windows handle) and errno; the format and its arguments, which may
//       be left out, print the rest of its arguments as strace does;
//   OS_OPEN(path, call)  an open of `path`, watched by its name;
//   OS_WRITE(name, fd, call, data, len, offset)  a write of the len bytes at
//       data to `offset`, recorded with its bytes; len is a variable of the
//       caller's that the call reads, which a short write halves first;
//   OS_CLOSE(fd, call)  a close of a stream, which the call frees even when
//       it fails: it is made whatever the plan, which decides only the result.

#ifndef FAULTS_H
#define FAULTS_H

#ifdef LUMPGRAFT_FAULTPOINTS
#include "os.h"

#include <cerrno>

// The fault points never throw, so that no caller needs to clean up after
// them (a C program links the library without the C++ runtime): their
// buffers are static, and a file they write holds no local in scope.
#define OS_NOTHROW __attribute__((nothrow))

// What the plan has for one call.
enum { os_go, os_fail, os_short };
struct os_fault {
    const char *call;
    int fd;
    bool watched;
    int action;
};

// The fault planned for this call on descriptor fd, or on the file at
// `path` before it is opened, with its error set; a kill ends the process
// here.
OS_NOTHROW os_fault os_faultpoint(const char *call, int fd, const char *path);
// Records what came of the call: `result` (-1 with errno) and the rest of
// its arguments after the descriptor, formatted.
OS_NOTHROW void os_faultrecord(const os_fault &f, int64_t result, const char *fmt, ...);
// Records a write, its bytes as \xHH.
OS_NOTHROW void os_faultrecordwrite(const os_fault &f, int64_t result, const void *data,
                                    size_t len, int64_t offset);
// What a call of each kind returns when it fails, and its result as strace
// shows it: a number, itself; a stream, its descriptor; a Windows handle, 0.
OS_NOTHROW FILE *os_failure(FILE *);
OS_NOTHROW void *os_failure(void *);
template <typename T> T os_failure(T)
{
    return T(-1);
}
OS_NOTHROW int64_t os_traced(FILE *fp);
OS_NOTHROW int64_t os_traced(void *handle);
template <typename T> int64_t os_traced(T result)
{
    return int64_t(result);
}

// What the system layer gives the fault points, outside them: the file a
// descriptor or a path names; an error set as the system sets it; an end
// of the process as a kill would make it.
OS_NOTHROW bool os_rawid(int fd, os_fileid *id);
OS_NOTHROW bool os_rawpathid(const char *path, os_fileid *id);
OS_NOTHROW void os_raiseerror(int err);
[[noreturn]] OS_NOTHROW void os_kill();
// The user's hanging up, before the call, which is then made: SIGHUP, or on
// Windows the closing of the console window, as each system gives it.
OS_NOTHROW void os_hangup();

template <typename Call, typename... Args>
auto os_faulted(const os_fault &f, Call call, const char *fmt = "", Args... args)
    -> decltype(call())
{
    const auto r = f.action == os_fail ? os_failure(decltype(call()){}) : call();
    os_faultrecord(f, os_traced(r), fmt, args...);
    return r;
}

template <typename Call>
auto os_faultedwrite(const os_fault &f, auto &len, Call call, const void *data,
                                int64_t offset) -> decltype(call())
{
    if (f.action == os_short)
        len /= 2;
    const auto r = f.action == os_fail ? os_failure(decltype(call()){}) : call();
    os_faultrecordwrite(f, os_traced(r), data, r < 0 ? size_t(len) : size_t(r), offset);
    if (f.action != os_short || r < 0)
        return r;
    os_raiseerror(EIO); // the bytes past the half were not written
    return os_failure(r);
}

template <typename Call> auto os_faultedclose(const os_fault &f, Call call) -> decltype(call())
{
    const auto made = call();
    const auto r = f.action == os_fail ? os_failure(made) : made;
    os_faultrecord(f, os_traced(r), "");
    return r;
}

#define OS_CALL(name, fd, call, ...)                                                              \
    os_faulted(os_faultpoint(name, fd, nullptr), [&] { return call; } __VA_OPT__(, __VA_ARGS__))
#define OS_OPEN(path, call)                                                                       \
    os_faulted(os_faultpoint("openat", -1, path), [&] { return call; }, ", \"%s\"", path)
#define OS_WRITE(name, fd, call, data, len, offset)                                               \
    os_faultedwrite(os_faultpoint(name, fd, nullptr), len, [&] { return call; }, data, offset)
#define OS_CLOSE(fd, call) os_faultedclose(os_faultpoint("close", fd, nullptr), [&] { return call; })
#else
#define OS_CALL(name, fd, call, ...) (call)
#define OS_OPEN(path, call) (call)
#define OS_WRITE(name, fd, call, data, len, offset) (call)
#define OS_CLOSE(fd, call) (call)
#endif

#endif
