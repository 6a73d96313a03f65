// SPDX-License-Identifier: MIT
// directory: the directory as the program changed it, written as a change
// (writewad), and one entry appended to it (addentry).

#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

// The directory as the program changed it, written as a change; `op` names
// the call for messages.
static void writedirectory(const char *op)
{
    // A directory over the header would be no archive, and one past 2 GiB
    // could not be pointed at.
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;
    if (numentries < 0 || numentries > MAXWADENTRIES || diroffset < 0 ||
        (numentries > 0 && diroffset < WADHEADERSIZE))
        wadfail(WADERR_MISUSE, "%s: %s: refusing to write %i entries at offset %i\n", op, archive(),
                  numentries, diroffset);
    needoffsets(diroffset + dirbytes, "", op);
    beginchange(op, false);
    const int64_t length = filelength(op);
    // A directory over lump data it lists would leave that lump holding
    // directory records. (The old directory's own bytes are rewritten by
    // any change of it, whoever lists them; bytes past the end of the file
    // are no lump's.)
    const int64_t olddirend = ondisk.offset + int64_t{ondisk.count} * WADENTRYSIZE;
    for (int32_t i = 0; i < numentries; i++) {
        const wadentry_t &e = wadentry[i];
        const int64_t from = std::max(int64_t{e.filepos}, int64_t{diroffset});
        const int64_t to = std::min(int64_t{e.filepos} + e.size, diroffset + dirbytes);
        if (from < to && (from < ondisk.offset || to > olddirend) && e.filepos >= 0 &&
            int64_t{e.filepos} + e.size <= length)
            wadfail(WADERR_MISUSE,
                    "%s: %s: the directory at %i would go over the data of entry %i (%s); add "
                    "entries with addentry, or move diroffset past the data\n",
                    op, archive(), diroffset, i, printable_string8(e).text);
    }
    // An empty directory past the end would extend nothing: the header would
    // point past the file.
    if (diroffset > length && dirbytes == 0)
        wadfail(WADERR_MISUSE, "%s: %s: refusing to write %i entries at offset %i\n", op,
                archive(), numentries, diroffset);
    const int64_t end = std::max(length, diroffset + dirbytes);
    const auto under = [&](int64_t from, int64_t size) {
        return changefd() >= 0 && size > 0 && dirbytes > 0 && from < diroffset + dirbytes &&
               diroffset < from + size;
    };
    extendwad(length);

    // Nothing the header on disk references is written over: when the new
    // directory goes over the directory on disk, or over lump data it lists,
    // these are parked past the end first (the lumps as copies, which the
    // parked directory points at), and cut off again once the header points
    // at the new directory. The file then ends where writing the new
    // directory in place would have left it. (A lump not wholly in the file
    // is no whole lump to keep.)
    static wadentry_t parked[MAXWADENTRIES];
    memcpy(parked, ondisk.dir, size_t(ondisk.count) * sizeof(wadentry_t));
    int64_t at = end;
    for (int32_t i = 0; i < ondisk.count; i++) {
        if (under(parked[i].filepos, parked[i].size) && parked[i].filepos >= 0 &&
            int64_t{parked[i].filepos} + parked[i].size <= length) {
            parked[i].filepos = static_cast<int32_t>(std::min(at, int64_t{INT32_MAX}));
            at += parked[i].size;
        }
    }
    const bool moveslumps = at > end;
    const int64_t olddirbytes = int64_t{ondisk.count} * WADENTRYSIZE;
    const bool parks = moveslumps || under(ondisk.offset, olddirbytes);
    if (parks) {
        needoffsets(at + olddirbytes, "", op);
        willwrite(at - end);
        for (int32_t i = 0; i < ondisk.count; i++) {
            if (parked[i].filepos != ondisk.dir[i].filepos)
                copywithin(ondisk.dir[i].filepos, parked[i].filepos, parked[i].size, op);
        }
        parkwad(parked, ondisk.count, ondisk.wad, at, op);
        // Lump data that the new directory goes over cannot be put back: a
        // failure from here leaves the parked directory, with every lump.
        if (moveslumps)
            keepparked();
    }
    commitwad(op);
    const int cut = parks ? cutwad(end) : 0;
    if (cut != 0)
        note("%s: %s: warning: the directory is written, but the %lld bytes past it %s: %s\n", op,
             archive(), static_cast<long long>(at + olddirbytes - end),
             cut == WADCUTFAILED ? "could not be cut off" : "may come back after a crash",
             os_strerror(errno));
    endchange();
}

void writewad()
{
    writedirectory("writewad");
}

void addentry(wadentry_t entry)
{
    const printname_t name = printable_string8(entry);

    if (!tablesearchable()) {
        note("Cannot add %s: the archive was refused, no directory is loaded!\n",
               name.text);
        return;
    }
    if (numentries < 0 || numentries >= MAXWADENTRIES) {
        note("Cannot add %s: the directory holds %i entries, the table at "
               "most %i!\n",
               name.text, numentries, MAXWADENTRIES);
        return;
    }
    os_filestat st;
    if (!loadedhere("addentry", &st)) {
        note("Cannot add %s: no directory of this file is loaded!\n", name.text);
        return;
    }

    // The directory grows by one record. When anything follows it in the
    // file (the new lump's data, which the program wrote itself, say), or it
    // would overlap the header, it moves to the end of the file instead, so
    // that no lump data is overwritten.
    flushstream("addentry");
    const int64_t filesize = filelength("addentry");
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;
    int64_t newdir = diroffset;
    if (newdir < WADHEADERSIZE || newdir + dirbytes != filesize)
        newdir = std::max(filesize, int64_t{WADHEADERSIZE});
    if (newdir + dirbytes + WADENTRYSIZE > INT32_MAX) {
        note("Cannot add %s: the directory would pass 2 GiB!\n", name.text);
        return;
    }

    if (entry_exist(convert_string8(entry)) != -1)
        note("\tWarning! Resource %s already exists!\n", name.text);
    wadentry[numentries++] = entry;
    diroffset = static_cast<int32_t>(newdir);
    writedirectory("addentry");
}
