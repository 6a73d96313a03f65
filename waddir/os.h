// SPDX-License-Identifier: MIT
// os: the calls that differ between POSIX systems and Windows, declared
// here and defined in os_posix.cpp, or in os_win.cpp and os_win_console.cpp,
// whichever system the build is for; the library and the command call only
// these, and read the same on every system. The installed library makes
// these names local: it exports no name but those of waddir.h.
//
// Paths are UTF-8 everywhere. A call that fails returns -1 (or a null
// pointer) with the reason in errno, so that callers can report it with
// strerror. A call here that a signal interrupts is repeated here, not by
// callers. Reads, writes and seeks on a stream are not repeated: on a regular
// file on a local disk, which is all the program edits, the system does not
// interrupt them.

#ifndef OS_H
#define OS_H

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

inline bool os_sameid(const os_fileid &a, const os_fileid &b)
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
int os_startup(int *argc, char ***argv);

// The reason for the errno value err, as a user can read it.
const char *os_strerror(int err);
// Ends the process with `status` at once, as _Exit does, after putting back
// what os_startup changed (a Windows console's code page).
[[noreturn]] void os_exit(int status);
// Whether descriptor fd is a terminal (a Windows console).
bool os_isterminal(int fd);
// Milliseconds on a clock that only goes forward, from some start.
int64_t os_milliseconds();
// Have the memory [p, p + len) ready for writing in one call, where the
// system can, rather than a page at a time as it is first touched: a fault
// costs several microseconds on a virtual machine. Only a hint.
void os_prefault(void *p, size_t len);

// Opening and closing. All access is binary, and no file opened here is
// inherited by programs the process starts: a child holding the archive
// would also hold its lock. os_fopen opens an existing file, mode "rb" or
// "r+b". os_openread opens a folder, a FIFO or a device too, without waiting
// for a FIFO's writer, so that its status can be read and it can be refused
// by name; os_opencreate creates a missing file and does not truncate one.
FILE *os_fopen(const char *path, const char *mode);
int os_openread(const char *path);
int os_opencreate(const char *path);
// os_createnew creates `path` for writing, and fails with EEXIST when it
// exists. os_replace puts the file `from` in place of `to` in one step,
// durably: `to` names the old file or the new one, whatever stops it.
int os_createnew(const char *path);
int os_replace(const char *from, const char *to);
int os_remove(const char *path);
int os_close(int fd);
int os_fclose(FILE *fp);
// Pushes what the stream holds unwritten to its file.
int os_flush(FILE *fp);

// Reads up to len bytes: the count read, 0 at the end of the file, or -1.
int64_t os_read(int fd, void *buf, size_t len);
// Reads up to len bytes at `offset`, bypassing any stream's buffer: the count
// read, less only at the end of the file, or -1.
int64_t os_pread(int fd, void *buf, size_t len, int64_t offset);
// Writes all len bytes at `offset`: 0, or -1.
int os_pwrite(int fd, const void *buf, size_t len, int64_t offset);
int os_fstat(int fd, os_filestat *st);

// 64-bit positions on a stream; whence is SEEK_SET, SEEK_CUR or SEEK_END.
int os_seek(FILE *fp, int64_t offset, int whence);
int64_t os_tell(FILE *fp);

// Makes the file's data, and the length needed to read it, durable.
int os_sync(int fd);
// Sets the file's length to `length` bytes.
int os_truncate(int fd, int64_t length);
// The bytes free for this process on the file's volume, or -1 when the
// system cannot tell, as for a file system that reports no size.
int64_t os_freespace(int fd);
// Whether writes through the stream land at the end of the file whatever
// its position: opened for appending.
bool os_appends(FILE *fp);
// Waits for, then holds, the exclusive lock that serializes changes to one
// file, until os_unlock or until the descriptor is closed. Readers are never
// blocked by it. The lock belongs to the open file (POSIX's open file
// description, Windows' handle): another open of the same file, in this
// process too, waits for it like another program's. With `wait` false, a
// lock another holds is not waited for: 1 says so. A descriptor that holds
// the lock must not ask for it again: Windows' would wait for itself.
int os_lock(int fd, bool wait = true);
int os_unlock(int fd);
// Whether the open file of descriptor fd holds that lock now: 1, or 2 for a
// shared lock a program took itself, or 0, asked of the system; or -1 where
// the system cannot tell (POSIX systems other than Linux), or on an error.
int os_lockheld(int fd);
// Whether another open file of this process, not fd's, holds the lock of
// fd's file, as the system sees it: 1 or 0, or -1 where it cannot tell.
int os_lockelsewhere(int fd);
// This process's identifier, which a forked child does not share.
int64_t os_pid();

// Interruption by the user: SIGINT, SIGTERM and SIGHUP, or Ctrl-C and
// Ctrl-Break in a Windows console, and the closing of the console window,
// a logoff and a shutdown, which Windows gives a few seconds to end in. os_catchinterrupts has `record` called
// with the signal's number instead of the process ending at once (a signal
// ignored when the program started stays ignored); a system call the
// process was in is finished first. os_endbysignal ends the process by the
// signal, as if it had not been caught, even from inside a handler of that
// signal: a shell sees an interruption. It may be called from a signal
// handler. os_signalname names a signal ("SIGUSR1", "Ctrl-C").
void os_catchinterrupts(void (*record)(int));
[[noreturn]] void os_endbysignal(int sig);
const char *os_signalname(int sig);

#endif
