// SPDX-License-Identifier: MIT
// platform: the calls that differ between POSIX systems and Windows. Both
// implementations live in platform.cpp, side by side; the library and the
// command call only these, and read the same on every system.
//
// Paths are UTF-8 everywhere. A call that fails returns -1 (or a null
// pointer) with the reason in errno, so that callers can report it with
// strerror. Calls interrupted by a signal are repeated here, not by callers.

#ifndef PLATFORM_H
#define PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What the program needs to know of an open file.
struct os_filestat {
    int64_t size;    // length in bytes
    bool regular;    // a regular file, not a folder, a device or a FIFO
    uint64_t volume; // volume and index identify the file itself: equal
    uint64_t index;  // pairs mean one file, whatever path or link opened it
    uint64_t changed; // when its content or status last changed, in
                      // nanoseconds: every write moves it
};

// Prepares the process: the arguments as UTF-8; standard output and
// standard error written byte for byte, without newline translation; a
// closed standard stream opened on the null device, so that no file the
// program opens takes its place and receives its messages; and a write to
// a closed pipe or past the file size limit failing with EPIPE or EFBIG
// instead of ending the process by a signal.
void os_startup(int *argc, char ***argv);

// The reason for the errno value err, as a user can read it.
const char *os_strerror(int err);

// Opening and closing. All access is binary, and no file opened here is
// inherited by programs the process starts: a child holding the archive
// would also hold its lock. os_fopen opens an existing file, mode "rb" or
// "r+b". os_openread opens a folder, a FIFO or a device too, without waiting
// for a FIFO's writer, so that its status can be read and it can be refused
// by name; os_opencreate creates a missing file and does not truncate one.
FILE *os_fopen(const char *path, const char *mode);
int os_openread(const char *path);
int os_opencreate(const char *path);
int os_close(int fd);

// Reads up to len bytes: the count read, 0 at the end of the file, or -1.
int64_t os_read(int fd, void *buf, size_t len);
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
// Waits for, then holds, the exclusive lock that serializes runs on one
// file until the descriptor is closed. Readers are never blocked by it.
int os_lock(int fd);

#endif
