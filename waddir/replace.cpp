// SPDX-License-Identifier: MIT
// replace: new data for one entry, in place, as a change (wadreplace, and
// wadreplacefrom, which takes the bytes from a source a block at a time).

#include "internal.h"

#include <algorithm>
#include <cerrno>

int wadreplacefrom(int n, int32_t size, wadsource_t source, void *context)
{
    const char *const op = "wadreplace";
    beginchange(op, true);
    if (n < 0 || n >= numentries)
        wadfail(WADERR_MISUSE, "%s: %s: no entry %i in a directory of %i entries\n", op, archive(), n,
                  numentries);
    if (size < 0)
        wadfail(WADERR_MISUSE, "%s: %s: a lump of %i bytes is impossible\n", op, archive(), size);

    // The bytes go where the directory stands when nothing follows it and no
    // lump's data lies in it; otherwise at the end of the file.
    const int64_t length = filelength(op);
    const int64_t olddir = diroffset, dirbytes = int64_t{numentries} * WADENTRYSIZE;
    bool dirislast = olddir + dirbytes == length;
    for (int i = 0; dirislast && i < numentries; i++) {
        const wadentry_t &e = wadentry[i];
        dirislast = e.size <= 0 || e.filepos >= olddir + dirbytes ||
                    int64_t{e.filepos} + e.size <= olddir;
    }
    const int64_t place = dirislast ? olddir : length;
    const int64_t newdir = place + size, newend = newdir + dirbytes;
    // The parked directory lies past the new end, where the cut takes it off.
    const int64_t highest = dirislast ? newend + dirbytes : newend;
    needoffsets(highest, "", op);

    extendwad(length);
    willwrite(size);
    if (dirislast)
        parkwad(ondisk.dir, ondisk.count, ondisk.wad, newend, op);
    // The source may read the archive itself (a lump's data, say).
    for (size_t done = 0; done < size_t(size);) {
        const size_t len = std::min(size_t(size) - done, size_t{WADBLOCKSIZE});
        const void *bytes = source(done, len, context);
        needstream(op);
        if (!bytes)
            wadfail(WADERR_CALLER, "%s: %s: the source gave no bytes for %zu to %zu of the %i to store\n", op,
                      archive(), done, done + len, size);
        writeat(bytes, len, place + int64_t(done), op);
        done += len;
        wrote(int64_t(len));
        interruptionpoint(op);
    }
    wadentry[n].filepos = static_cast<int32_t>(place);
    wadentry[n].size = size;
    diroffset = static_cast<int32_t>(newdir);
    commitwad(op);
    const int cut = dirislast ? cutwad(newend) : 0;
    const int reason = errno;
    endchange();
    errno = reason;
    return cut;
}

static const void *frommemory(size_t at, size_t, void *data)
{
    return static_cast<const unsigned char *>(data) + at;
}

int wadreplace(int n, const void *data, int32_t size)
{
    return wadreplacefrom(n, size, frommemory, const_cast<void *>(data));
}
