// SPDX-License-Identifier: MIT
// io: reads, writes and syncs of the archive at explicit offsets, and its
// length. The library reads and writes the file through the stream's
// descriptor, past the stream's buffer: it reads what the file holds,
// whatever the program read through the stream before, and leaves nothing
// in the buffer that a later flush would write. A stream with no descriptor
// (one in memory) goes through stdio. These only read and write: a failure
// is reported, and the change under way, if any, ends as the fatal exit
// has it end.

#include "internal.h"

#include <cerrno>

unsigned char copyblock[WADBLOCKSIZE];

void flushstream(const char *op)
{
    if (os_flush(wadfp) != 0)
        wadfail(WADERR_SYSTEM, "%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
}

int64_t tryread(void *buf, size_t len, int64_t at)
{
    const int fd = fileno(wadfp);
    if (len == 0)
        return 0;
    if (fd >= 0)
        return os_pread(fd, buf, len, at);
    if (os_seek(wadfp, at, SEEK_SET) != 0)
        return -1;
    const int64_t got = int64_t(fread(buf, 1, len, wadfp));
    return got < int64_t(len) && ferror(wadfp) ? -1 : got;
}

void readfailed(int64_t got, size_t len, const char *op)
{
    if (got < 0)
        wadfail(WADERR_SYSTEM, "%s: %s: read failed: %s\n", op, archive(), os_strerror(errno));
    wadfail(WADERR_ARCHIVE, "%s: %s: file ends before %zu bytes could be read\n", op, archive(),
            len);
}

void readat(void *buf, size_t len, int64_t at, const char *op)
{
    const int64_t got = tryread(buf, len, at);
    if (got != int64_t(len))
        readfailed(got, len, op);
}

bool trywrite(const void *buf, size_t len, int64_t at)
{
    const int fd = fileno(wadfp);
    if (len == 0)
        return true;
    if (fd >= 0)
        return os_pwrite(fd, buf, len, at) == 0;
    return os_seek(wadfp, at, SEEK_SET) == 0 && fwrite(buf, len, 1, wadfp) == 1 &&
           fflush(wadfp) == 0;
}

void writeat(const void *buf, size_t len, int64_t at, const char *op)
{
    if (!trywrite(buf, len, at))
        wadfail(WADERR_SYSTEM, "%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
}

// A stream with no descriptor has nothing to make durable.
bool trysync()
{
    return fileno(wadfp) < 0 || os_sync(fileno(wadfp)) == 0;
}

void syncfile(const char *op)
{
    if (!trysync())
        wadfail(WADERR_SYSTEM, "%s: %s: sync failed: %s\n", op, archive(), os_strerror(errno));
}

os_filestat statfile(int fd, const char *op)
{
    os_filestat st;
    if (os_fstat(fd, &st) != 0)
        wadfail(WADERR_SYSTEM, "%s: %s: fstat failed: %s\n", op, archive(), os_strerror(errno));
    return st;
}

int64_t seektoend(const char *op)
{
    int64_t end;
    if (os_seek(wadfp, 0, SEEK_END) != 0 || (end = os_tell(wadfp)) < 0)
        wadfail(WADERR_SYSTEM, "%s: %s: cannot find the end of the file: %s\n", op, archive(),
                os_strerror(errno));
    return end;
}

int64_t filelength(const char *op)
{
    return fileno(wadfp) >= 0 ? statfile(fileno(wadfp), op).size : seektoend(op);
}

int64_t wadlength()
{
    flushstream("wadlength");
    return seektoend("wadlength");
}
