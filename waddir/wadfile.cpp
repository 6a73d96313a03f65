// SPDX-License-Identifier: MIT
// wadfile: the archive's header and directory as the process-wide state
// holds them: byte order, readwad and its refusals, and the record of what
// the disk holds, which every change starts from.

#include "internal.h"

#include <algorithm>
#include <bit>
#include <cstring>

FILE *wadfp;
const char *wadname;
int wad;
int32_t numentries;
int32_t diroffset;
wadentry_t wadentry[MAXWADENTRIES];

wadrecord ondisk;

// What the table holds: nothing readwad loaded yet (the program may fill it
// by hand), the directory on record, or nothing (after a refusal); and the
// fatal errors a handler had gone on from by then: a later one leaves no
// directory loaded either, so that the calls that write refuse until the
// next readwad.
static enum { untouched, loaded, unloaded } table;
static unsigned tablesince;

static void settable(decltype(table) state)
{
    table = state;
    tablesince = survivederrors();
}

bool directoryloaded()
{
    return table == loaded && tablesince == survivederrors();
}

bool tablesearchable()
{
    return table != unloaded && tablesince == survivederrors();
}

// ---------------------------------------------------------------------------
// Byte order. The file's integers are little-endian; the process-wide state
// holds them in host order. Records cross the file boundary only here, in
// readwad and in the change's check, which convert them; on a little-endian
// host the conversion is the identity and compiles to nothing.

constexpr bool hostislittle = std::endian::native == std::endian::little;

// A 32-bit integer between the file's byte order and the host's (the same
// swap in both directions).
static int32_t le32(int32_t v)
{
    if constexpr (hostislittle)
        return v;
    const uint32_t u = static_cast<uint32_t>(v);
    return static_cast<int32_t>((u >> 24) | ((u >> 8) & 0xff00) | ((u << 8) & 0xff0000) |
                                (u << 24));
}

void fromfile(wadentry_t *dir, int32_t count)
{
    if constexpr (!hostislittle) {
        for (int32_t i = 0; i < count; i++) {
            dir[i].filepos = le32(dir[i].filepos);
            dir[i].size = le32(dir[i].size);
        }
    }
}

const wadentry_t *tofile(const wadentry_t *dir, int32_t count)
{
    if constexpr (hostislittle)
        return dir;
    static wadentry_t converted[MAXWADENTRIES];
    memcpy(converted, dir, size_t(count) * sizeof(wadentry_t));
    fromfile(converted, count); // the same swap
    return converted;
}

// The protocol's steps write a header at 0 themselves, as the moment they do
// so moves the change's state.
void fileheader(int type, int32_t count, int32_t offset, unsigned char *header)
{
    const int32_t c = le32(count), o = le32(offset);
    memcpy(header, type == 0 ? "IWAD" : "PWAD", 4);
    memcpy(header + 4, &c, 4);
    memcpy(header + 8, &o, 4);
}

// ---------------------------------------------------------------------------
// The record of what the disk holds

void recordondisk(bool identified, const os_fileid &id, uint64_t lockrecord)
{
    settable(loaded);
    ondisk.identified = identified;
    ondisk.id = id;
    ondisk.lockrecord = lockrecord;
    ondisk.wad = wad;
    ondisk.count = numentries;
    ondisk.offset = diroffset;
    memcpy(ondisk.dir, wadentry, size_t(numentries) * sizeof(wadentry_t));
}

// The same volume and index, or, for a directory read from a stream with no
// descriptor, again such a stream.
bool loadedhere(const char *op, os_filestat *st)
{
    *st = {};
    if (!directoryloaded() || !wadfp || (fileno(wadfp) >= 0) != ondisk.identified)
        return false;
    if (ondisk.identified)
        *st = statfile(fileno(wadfp), op);
    return os_sameid(st->id, ondisk.id);
}

// ---------------------------------------------------------------------------
// readwad

// readwad's refusals: a line, and no directory loaded.
__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static int refuse(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vnote(fmt, args);
    va_end(args);
    settable(unloaded);
    return 1;
}

int readwad()
{
    const char *const op = "readwad";
    // A change commits the shared directory: another may not take its place.
    if (changeunderway())
        wadfail(WADERR_MISUSE,
                "readwad: %s: a change is under way; read the archive once it ends\n", archive());
    flushstream(op);
    const bool identified = fileno(wadfp) >= 0;
    const os_filestat st = identified ? statfile(fileno(wadfp), op) : os_filestat{};
    const int64_t filesize = identified ? st.size : seektoend(op);
    unsigned char header[WADHEADERSIZE];
    readat(header, size_t(std::min(filesize, int64_t{WADHEADERSIZE})), 0, op);
    char magic[5] = {};
    memcpy(magic, header, size_t(filesize < 4 ? filesize : 4));
    if (filesize >= WADHEADERSIZE) {
        memcpy(&numentries, header + 4, 4);
        memcpy(&diroffset, header + 8, 4);
        numentries = le32(numentries);
        diroffset = le32(diroffset);
    }

    wad = 2;
    if (strcmp(magic, "PWAD") == 0)
        wad = 1;
    if (strcmp(magic, "IWAD") == 0)
        wad = 0;
    if (wad == 2)
        return refuse("File not IWAD or PWAD!\n");
    if (filesize < WADHEADERSIZE)
        return refuse("File too short for a WAD header (%lld bytes)!\n",
                      static_cast<long long>(filesize));
    if (numentries > MAXWADENTRIES)
        return refuse("Cannot handle > %i entry wads!\n", MAXWADENTRIES);

    // A directory that does not lie wholly inside the file would leave stale
    // records in the table, and writing them back would damage the archive.
    if (numentries < 0)
        return refuse("Negative entry count %i!\n", numentries);
    if (diroffset < 0)
        return refuse("Negative directory offset %i!\n", diroffset);
    if (numentries > 0 && diroffset < WADHEADERSIZE)
        return refuse("Directory at %i overlaps the header!\n", diroffset);
    const int64_t dirend = int64_t{diroffset} + int64_t{numentries} * WADENTRYSIZE;
    if (dirend > filesize)
        return refuse("Directory of %i entries at %i runs past the end of the file "
                      "(%lld bytes)!\n",
                      numentries, diroffset, static_cast<long long>(filesize));

    // The table and its record, a page at a time, would be most of a small
    // graft's work besides its syncs.
    const size_t dirbytes = size_t(numentries) * WADENTRYSIZE;
    if (dirbytes >= 16384) {
        os_prefault(wadentry, dirbytes);
        os_prefault(ondisk.dir, dirbytes);
    }
    readat(wadentry, dirbytes, diroffset, op);
    fromfile(wadentry, numentries);
    recordondisk(identified, st.id, identified ? lockrecord(fileno(wadfp), st.id) : 0);
    return 0;
}
