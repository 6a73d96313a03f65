// SPDX-License-Identifier: MIT
// lumps: what is read out of the archive, into memory (cachelump) or into
// another file (copywad). Whatever a failing call opened or allocated is let
// go before the failure is reported.

#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

unsigned char *cachelump(int n)
{
    if (!tablesearchable())
        wadfail(WADERR_MISUSE, "cachelump: %s: the archive was refused, no directory is loaded\n",
                  archive());
    if (n < 0 || n >= numentries || n >= MAXWADENTRIES)
        wadfail(WADERR_MISUSE, "cachelump: %s: no entry %i in a directory of %i entries\n",
                  archive(), n, numentries);
    const wadentry_t &entry = wadentry[n];
    char what[80];
    snprintf(what, sizeof what, "cachelump: entry %i (%s)", n,
             printable_string8(entry).text);
    if (entry.size < 0 || entry.filepos < 0)
        wadfail(WADERR_ARCHIVE, "%s: %s: lump of %i bytes at %i is impossible\n", what,
                  archive(), entry.size, entry.filepos);

    // The buffer is freed before a failure is reported, so that a program
    // whose handler goes on loses nothing.
    flushstream(what);
    const size_t size = static_cast<size_t>(entry.size);
    auto *buf = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!buf)
        wadfail(WADERR_SYSTEM, "cachelump: Couldn't malloc %i bytes\n", entry.size);
    const int64_t got = tryread(buf, size, entry.filepos);
    if (got != int64_t(size)) {
        const int reason = errno;
        free(buf);
        errno = reason;
        readfailed(got, size, what);
    }
    return buf;
}

// The copy's file closed, errno kept, before copywad reports a failure, so
// that a program whose handler goes on keeps no descriptor.
static void dropcopy(FILE *copy, int fd)
{
    const int reason = errno;
    if (copy)
        fclose(copy);
    else
        os_close(fd);
    errno = reason;
}

void copywad(const char *path)
{
    const char *const op = "copywad";
    flushstream(op);
    const int64_t length = filelength(op);
    // Truncate only once it is clear that path does not name the archive
    // itself (or a hard link to it), which truncating would empty.
    const int fd = os_opencreate(path);
    if (fd < 0)
        wadfail(WADERR_SYSTEM, "copywad: Couldn't copy a wad (filename:%s)\n", path);
    FILE *copy = nullptr;
    os_filestat target, source;
    if (os_fstat(fd, &target) != 0) {
        dropcopy(copy, fd);
        wadfail(WADERR_SYSTEM, "copywad: %s: cannot read file status: %s\n", path,
                os_strerror(errno));
    }
    if (fileno(wadfp) >= 0 && os_fstat(fileno(wadfp), &source) == 0 &&
        os_sameid(target.id, source.id)) {
        dropcopy(copy, fd);
        wadfail(WADERR_MISUSE, "copywad: %s is the archive itself\n", path);
    }
    if (target.regular && os_truncate(fd, 0) != 0) {
        dropcopy(copy, fd);
        wadfail(WADERR_SYSTEM, "copywad: %s: cannot truncate: %s\n", path, os_strerror(errno));
    }
    if (!(copy = fdopen(fd, "wb"))) {
        dropcopy(copy, fd);
        wadfail(WADERR_SYSTEM, "copywad: %s: %s\n", path, os_strerror(errno));
    }

    for (int64_t done = 0; done < length;) {
        const size_t n = size_t(std::min(length - done, int64_t{sizeof copyblock}));
        const int64_t got = tryread(copyblock, n, done);
        if (got != int64_t(n)) {
            dropcopy(copy, fd);
            readfailed(got, n, op);
        }
        if (fwrite(copyblock, 1, n, copy) != n) {
            dropcopy(copy, fd);
            wadfail(WADERR_SYSTEM, "copywad: %s: write failed: %s\n", path, os_strerror(errno));
        }
        done += int64_t(n);
    }

    // A copy reported as made is whole and on disk.
    if (fflush(copy) != 0 || os_sync(fileno(copy)) != 0) {
        dropcopy(copy, fd);
        wadfail(WADERR_SYSTEM, "copywad: %s: write failed: %s\n", path, os_strerror(errno));
    }
    if (fclose(copy) != 0)
        wadfail(WADERR_SYSTEM, "copywad: %s: close failed: %s\n", path, os_strerror(errno));
    // The stream is left at the archive's end, as a copy read to the end
    // leaves it.
    seektoend(op);
}
