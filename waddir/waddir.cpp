// SPDX-License-Identifier: MIT
// waddir: header and directory of the open WAD archive, entry names, level
// structure queries and lump and archive editing.

#include "waddir.h"

#include "platform.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

FILE *wadfp;
const char *wadname;
int wad;
int32_t numentries;
int32_t diroffset;
wadentry_t wadentry[MAXWADENTRIES];

// What the library knows of the archive beyond the shared state: whether the
// last readwad refused it, so that no directory is loaded; and the archive as
// readwad loaded it (its length, header and directory), kept while the
// header on disk points at that directory, where it was loaded (parkedat
// -1) or at an identical copy of it (parkedat, its offset). loadedlength is
// -1 when the header on disk may be any other.
static bool refused;
static int64_t loadedlength = -1;
static int64_t parkedat = -1;
static int loadedwad;
static int32_t loadedcount, loadedoffset;
static wadentry_t loadeddir[MAXWADENTRIES];

// A run that fails leaves the archive as readwad loaded it, when the header
// on disk still points at the loaded directory or at a parked copy of it:
// the directory goes back in its place and the header with it, and what was
// written past the loaded length (a parked directory, a lump's new bytes) is
// cut off. Each step keeps the archive whole, so a failure midway only stops
// the restoring.
static void restorewad()
{
    os_filestat st;
    if (!wadfp || loadedlength < 0 || fileno(wadfp) < 0)
        return;
    const int64_t length = loadedlength;
    if (parkedat >= 0) {
        memcpy(wadentry, loadeddir, size_t(loadedcount) * sizeof(wadentry_t));
        numentries = loadedcount;
        diroffset = loadedoffset;
        wad = loadedwad;
        writewad();
    }
    if (os_fstat(fileno(wadfp), &st) == 0 && st.regular && st.size > length &&
        os_truncate(fileno(wadfp), length) == 0)
        os_sync(fileno(wadfp));
}

[[noreturn]] void errorexit(const char *fmt, ...)
{
    // A failure while the archive is being restored ends the process at
    // once: the first failure has been told, and the archive is whole.
    static bool failing;
    if (!failing) {
        failing = true;
        // Progress lines come first, so the fatal message follows them in a
        // log that captures both streams.
        fflush(stdout);
        va_list args;
        va_start(args, fmt);
        vfprintf(stderr, fmt, args);
        va_end(args);
        fflush(stderr);
        restorewad();
    }
    // _Exit, not exit: exit would flush the archive stream, retrying a write
    // that just failed at whatever position the stream has reached.
    std::_Exit(255);
}

// ---------------------------------------------------------------------------
// Checked I/O on the archive stream. Each failure names the archive and the
// system's reason and ends the process.

static const char *archive()
{
    return wadname ? wadname : "archive";
}

static void wadseek(int64_t offset, const char *op)
{
    if (os_seek(wadfp, offset, SEEK_SET) != 0)
        errorexit("%s: %s: cannot seek to %lld: %s\n", op, archive(),
                  static_cast<long long>(offset), os_strerror(errno));
}

static void wadread(void *buf, size_t len, const char *op)
{
    if (len == 0 || fread(buf, len, 1, wadfp) == 1)
        return;
    if (ferror(wadfp))
        errorexit("%s: %s: read failed: %s\n", op, archive(), os_strerror(errno));
    errorexit("%s: %s: file ends before %zu bytes could be read\n", op,
              archive(), len);
}

static void wadwrite(const void *buf, size_t len, const char *op)
{
    if (len != 0 && fwrite(buf, len, 1, wadfp) != 1)
        errorexit("%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
}

// Push buffered writes to the file and make them durable. A stream with no
// descriptor (one in memory) has nothing to make durable.
static void wadsync(const char *op)
{
    if (fflush(wadfp) != 0)
        errorexit("%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
    if (fileno(wadfp) >= 0 && os_sync(fileno(wadfp)) != 0)
        errorexit("%s: %s: sync failed: %s\n", op, archive(), os_strerror(errno));
}

// The archive's length in bytes. Leaves the stream at its end.
static int64_t wadsize(const char *op)
{
    int64_t end;
    if (os_seek(wadfp, 0, SEEK_END) != 0 || (end = os_tell(wadfp)) < 0)
        errorexit("%s: %s: cannot find the end of the file: %s\n", op,
                  archive(), os_strerror(errno));
    return end;
}

int64_t wadlength()
{
    return wadsize("wadlength");
}

// Copies of archive data pass through this buffer, a block at a time.
static unsigned char copyblock[size_t{1} << 20];

// ---------------------------------------------------------------------------
// Byte order. The file's integers are little-endian; the process-wide state
// holds them in host order. Records cross the file boundary only in readwad
// and writewad, which convert them there; on a little-endian host the
// conversion is the identity and compiles to nothing.

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

// ---------------------------------------------------------------------------
// Header and directory

// readwad's refusals: a line on standard output, and no directory loaded.
__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static int refuse(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprintf(fmt, args);
    va_end(args);
    refused = true;
    loadedlength = -1;
    return 1;
}

int readwad()
{
    const int64_t filesize = wadsize("readwad");
    wadseek(0, "readwad");
    unsigned char header[WADHEADERSIZE];
    wadread(header, size_t(filesize < WADHEADERSIZE ? filesize : WADHEADERSIZE),
            "readwad");
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
    const int64_t dirend =
        int64_t{diroffset} + int64_t{numentries} * WADENTRYSIZE;
    if (dirend > filesize)
        return refuse("Directory of %i entries at %i runs past the end of the file "
                      "(%lld bytes)!\n",
                      numentries, diroffset, static_cast<long long>(filesize));

    wadseek(diroffset, "readwad");
    wadread(wadentry, size_t(numentries) * WADENTRYSIZE, "readwad");
    if constexpr (!hostislittle) {
        for (int i = 0; i < numentries; i++) {
            wadentry[i].filepos = le32(wadentry[i].filepos);
            wadentry[i].size = le32(wadentry[i].size);
        }
    }
    refused = false;
    loadedlength = filesize;
    parkedat = -1;
    loadedwad = wad;
    loadedcount = numentries;
    loadedoffset = diroffset;
    memcpy(loadeddir, wadentry, size_t(numentries) * sizeof(wadentry_t));
    return 0;
}

void writewad()
{
    if (numentries < 0 || numentries > MAXWADENTRIES || diroffset < 0)
        errorexit("writewad: %s: refusing to write %i entries at offset %i\n",
                  archive(), numentries, diroffset);

    // The directory goes out in one write, in the file's byte order: straight
    // from the table on a little-endian host, from a converted copy on others.
    const wadentry_t *records = wadentry;
    if constexpr (!hostislittle) {
        static wadentry_t converted[MAXWADENTRIES];
        for (int i = 0; i < numentries; i++) {
            converted[i] = wadentry[i];
            converted[i].filepos = le32(wadentry[i].filepos);
            converted[i].size = le32(wadentry[i].size);
        }
        records = converted;
    }

    // The directory is made durable before the header points at it.
    wadseek(diroffset, "writewad");
    wadwrite(records, size_t(numentries) * WADENTRYSIZE, "writewad");
    wadsync("writewad");

    unsigned char header[WADHEADERSIZE];
    const int32_t count = le32(numentries), offset = le32(diroffset);
    memcpy(header, wad == 0 ? "IWAD" : "PWAD", 4);
    memcpy(header + 4, &count, 4);
    memcpy(header + 8, &offset, 4);
    // While the header is written, the one on disk may be either: a failure
    // then leaves the archive as it is. Once this one is durable, the loaded
    // archive can still be restored if it points at the loaded directory.
    wadseek(0, "writewad");
    const int64_t length = loadedlength;
    loadedlength = -1;
    wadwrite(header, sizeof header, "writewad");
    wadsync("writewad");
    refused = false;
    if (length >= 0 && numentries == loadedcount && (wad == 0) == (loadedwad == 0) &&
        memcmp(wadentry, loadeddir, size_t(numentries) * sizeof(wadentry_t)) == 0) {
        loadedlength = length;
        parkedat = diroffset == loadedoffset ? -1 : diroffset;
    }
}

// ---------------------------------------------------------------------------
// Entry names

// Names compare case-sensitively over at most eight characters, stopping at
// the first NUL on either side.
static bool namematches(const wadentry_t &entry, const char *name)
{
    return strncmp(entry.name, name, sizeof entry.name) == 0;
}

char *convert_string8(wadentry_t entry)
{
    // Slot 0 is never handed out; slots 1 to 99 form the ring.
    constexpr int slotsize = 10;
    constexpr int slots = 100;
    static char temp[slots * slotsize];
    static int tempnum = 1;

    if (++tempnum == slots)
        tempnum = 1;
    char *slot = temp + tempnum * slotsize;
    memset(slot, 0, sizeof entry.name + 1);
    memcpy(slot, entry.name, sizeof entry.name);
    return slot;
}

printname_t printable_string8(wadentry_t entry)
{
    printname_t out{};
    char *at = out.text;
    for (size_t i = 0; i < sizeof entry.name && entry.name[i] != '\0'; i++) {
        const auto c = static_cast<unsigned char>(entry.name[i]);
        if (c < 0x20 || c == 0x7f)
            at += snprintf(at, 5, "\\x%02x", c);
        else
            *at++ = static_cast<char>(c);
    }
    return out;
}

int entry_exist(const char *name)
{
    if (refused)
        return -1;
    for (int i = 0; i < numentries && i < MAXWADENTRIES; i++) {
        if (namematches(wadentry[i], name))
            return i;
    }
    return -1;
}

wadentry_t findinfo(const char *name)
{
    static wadentry_t entry;
    const int i = entry_exist(name);
    if (i >= 0)
        return wadentry[i];
    memset(&entry, 0, sizeof entry);
    return entry;
}

// ---------------------------------------------------------------------------
// Level structure

int islevel(int n)
{
    if (refused || n < 0 || n >= MAXWADENTRIES - 1 || int64_t{n} + 1 >= numentries)
        return 0;
    return namematches(wadentry[n + 1], "THINGS");
}

int islevelentry(const char *name)
{
    static const char *const levellumps[] = {
        "LINEDEFS", "SIDEDEFS", "SECTORS", "VERTEXES", "REJECT", "BLOCKMAP",
        "NODES",    "THINGS",   "SEGS",    "SSECTORS", "BEHAVIOR",
    };
    for (const char *lump : levellumps) {
        if (strcmp(name, lump) == 0)
            return 1;
    }
    return 0;
}

int32_t findlevelsize(const char *name)
{
    const int n = entry_exist(name);
    if (n < 0)
        return -1;
    int64_t sum = 0;
    for (int i = n + 1; i <= n + 10 && i < numentries && i < MAXWADENTRIES; i++)
        sum += wadentry[i].size;
    if (sum < INT32_MIN || sum > INT32_MAX)
        return -1;
    return static_cast<int32_t>(sum);
}

// ---------------------------------------------------------------------------
// Lump and archive editing

void addentry(wadentry_t entry)
{
    const printname_t name = printable_string8(entry);

    if (refused) {
        printf("Cannot add %s: the archive was refused, no directory is loaded!\n",
               name.text);
        return;
    }
    if (numentries < 0 || numentries >= MAXWADENTRIES) {
        printf("Cannot add %s: the directory holds %i entries, the table at "
               "most %i!\n",
               name.text, numentries, MAXWADENTRIES);
        return;
    }

    // The directory grows by one record. When anything follows it in the
    // file, or it would overlap the header, it moves to the end of the file
    // instead, so that no lump data is overwritten.
    const int64_t filesize = wadsize("addentry");
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;
    int64_t newdir = diroffset;
    if (newdir < WADHEADERSIZE || newdir + dirbytes != filesize)
        newdir = filesize > WADHEADERSIZE ? filesize : WADHEADERSIZE;
    if (newdir + dirbytes + WADENTRYSIZE > INT32_MAX) {
        printf("Cannot add %s: the directory would pass 2 GiB!\n", name.text);
        return;
    }

    if (entry_exist(convert_string8(entry)) != -1)
        printf("\tWarning! Resource %s already exists!\n", name.text);
    wadentry[numentries++] = entry;
    diroffset = static_cast<int32_t>(newdir);
    writewad();
}

unsigned char *cachelump(int n)
{
    if (refused)
        errorexit("cachelump: %s: the archive was refused, no directory is loaded\n",
                  archive());
    if (n < 0 || n >= numentries || n >= MAXWADENTRIES)
        errorexit("cachelump: %s: no entry %i in a directory of %i entries\n",
                  archive(), n, numentries);
    const wadentry_t &entry = wadentry[n];
    char what[80];
    snprintf(what, sizeof what, "cachelump: entry %i (%s)", n,
             printable_string8(entry).text);
    if (entry.size < 0 || entry.filepos < 0)
        errorexit("%s: %s: lump of %i bytes at %i is impossible\n", what,
                  archive(), entry.size, entry.filepos);

    const size_t size = static_cast<size_t>(entry.size);
    auto *buf = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!buf)
        errorexit("cachelump: Couldn't malloc %i bytes\n", entry.size);
    if (size > 0) {
        wadseek(entry.filepos, what);
        wadread(buf, size, what);
    }
    return buf;
}

void copywad(const char *path)
{
    // Truncate only once it is clear that path does not name the archive
    // itself (or a hard link to it), which truncating would empty.
    const int fd = os_opencreate(path);
    if (fd < 0)
        errorexit("copywad: Couldn't copy a wad (filename:%s)\n", path);
    os_filestat target, source;
    if (os_fstat(fd, &target) != 0)
        errorexit("copywad: %s: cannot read file status: %s\n", path,
                  os_strerror(errno));
    if (fileno(wadfp) >= 0 && os_fstat(fileno(wadfp), &source) == 0 &&
        target.volume == source.volume && target.index == source.index)
        errorexit("copywad: %s is the archive itself\n", path);
    if (target.regular && os_truncate(fd, 0) != 0)
        errorexit("copywad: %s: cannot truncate: %s\n", path, os_strerror(errno));
    FILE *copy = fdopen(fd, "wb");
    if (!copy)
        errorexit("copywad: %s: %s\n", path, os_strerror(errno));

    wadseek(0, "copywad");
    size_t n;
    while ((n = fread(copyblock, 1, sizeof copyblock, wadfp)) > 0) {
        if (fwrite(copyblock, 1, n, copy) != n)
            errorexit("copywad: %s: write failed: %s\n", path, os_strerror(errno));
    }
    if (ferror(wadfp))
        errorexit("copywad: %s: read failed: %s\n", archive(), os_strerror(errno));

    // A copy reported as made is whole and on disk.
    if (fflush(copy) != 0 || os_sync(fileno(copy)) != 0)
        errorexit("copywad: %s: write failed: %s\n", path, os_strerror(errno));
    if (fclose(copy) != 0)
        errorexit("copywad: %s: close failed: %s\n", path, os_strerror(errno));
}

// ---------------------------------------------------------------------------
// Compaction

// A run of referenced bytes that moves as one: lumps that overlap or touch
// make one range, kept whole, and ranges with only padding between them
// move by the same distance.
struct wadspan {
    int64_t start, end; // where it lies now
    int64_t parked;     // where its copy waits past the end of the file
    int64_t final;      // where it goes
};

// The lowest offset at or after `from` that lies at `like`'s offset modulo
// 4: where data that stood at `like` goes without losing its alignment.
static int64_t alignedlike(int64_t from, int64_t like)
{
    return from + ((like - from) % 4 + 4) % 4;
}

// Copy len bytes of the archive from `from` to `to`, a block at a time from
// the front, so that a copy to a lower offset may overlap its source.
static void wadcopy(int64_t from, int64_t to, int64_t len, const char *op)
{
    for (int64_t done = 0; done < len;) {
        const int64_t left = len - done;
        const size_t n = left < int64_t{sizeof copyblock} ? size_t(left) : sizeof copyblock;
        wadseek(from + done, op);
        wadread(copyblock, n, op);
        wadseek(to + done, op);
        wadwrite(copyblock, n, op);
        done += int64_t(n);
    }
}

// Where an entry at `filepos` points once the spans lie at their parked or
// final offsets. A lump moves with its span. An empty entry in a span moves
// with it; one in a reclaimed gap or past the data goes to the end of the
// span before it, so that none points past the end of the file. Nothing
// before `firstchange`, the first byte whose content changes, moves.
static int32_t movedpos(int32_t filepos, const wadspan *spans, int32_t count,
                        int64_t firstchange, bool parked)
{
    if (filepos < firstchange)
        return filepos;
    const wadspan *after = std::upper_bound(
        spans, spans + count, int64_t{filepos},
        [](int64_t pos, const wadspan &span) { return pos < span.start; });
    if (after == spans)
        return WADHEADERSIZE; // in a gap before the first span
    const wadspan &span = after[-1];
    const int64_t at = std::min(int64_t{filepos}, span.end) - span.start;
    return static_cast<int32_t>((parked ? span.parked : span.final) + at);
}

// Cut the archive to `length` bytes, durably.
static void cutwad(int64_t length, const char *op)
{
    if (fileno(wadfp) < 0 || os_truncate(fileno(wadfp), length) != 0)
        errorexit("%s: %s: cannot cut the file to %lld bytes: %s\n", op, archive(),
                  static_cast<long long>(length), os_strerror(errno));
    wadsync(op);
}

int64_t compactwad()
{
    const char *const op = "compactwad";
    if (refused)
        errorexit("%s: %s: the archive was refused, no directory is loaded\n", op, archive());
    if (numentries < 0 || numentries > MAXWADENTRIES || diroffset < 0)
        errorexit("%s: %s: refusing to compact %i entries at offset %i\n", op, archive(),
                  numentries, diroffset);
    const int64_t length = wadsize(op);
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;

    // The lumps that reference bytes, in the order of their offsets. Bytes
    // that are not in the file, or are the header's, cannot be kept as
    // they are.
    static int32_t order[MAXWADENTRIES];
    int32_t sized = 0;
    for (int32_t i = 0; i < numentries; i++) {
        const wadentry_t &e = wadentry[i];
        if (e.size < 0 ||
            (e.size > 0 && (e.filepos < WADHEADERSIZE || int64_t{e.filepos} + e.size > length)))
            errorexit("%s: %s: entry %i (%s): a lump of %i bytes at %i is not in the file's "
                      "data\n",
                      op, archive(), i, printable_string8(e).text, e.size, e.filepos);
        if (e.size > 0)
            order[sized++] = i;
    }
    std::sort(order, order + sized,
              [](int32_t a, int32_t b) { return wadentry[a].filepos < wadentry[b].filepos; });

    // The new layout: each range at the lowest offset after the one before
    // that keeps its alignment, then the directory, placed the same way.
    static wadspan spans[MAXWADENTRIES];
    int32_t count = 0;
    int64_t end = WADHEADERSIZE;
    for (int32_t j = 0; j < sized;) {
        const int64_t start = wadentry[order[j]].filepos;
        int64_t stop = start;
        for (; j < sized && wadentry[order[j]].filepos <= stop; j++)
            stop = std::max(stop, int64_t{wadentry[order[j]].filepos} + wadentry[order[j]].size);
        const int64_t at = alignedlike(end, start);
        if (count > 0 && spans[count - 1].start - spans[count - 1].final == start - at)
            spans[count - 1].end = stop;
        else
            spans[count++] = {start, stop, start, at};
        end = at + (stop - start);
    }
    const int64_t newdir = alignedlike(end, diroffset);
    const int64_t newlength = newdir + dirbytes;
    if (newlength >= length)
        return 0; // nothing to reclaim: the archive is not written

    int32_t moved = 0;
    while (moved < count && spans[moved].final == spans[moved].start)
        moved++;
    const int64_t firstchange =
        moved < count ? spans[moved].final : newdir != diroffset ? newdir : newlength;
    static wadentry_t finaldir[MAXWADENTRIES];
    bool changed = newdir != diroffset;
    for (int32_t i = 0; i < numentries; i++) {
        finaldir[i] = wadentry[i];
        finaldir[i].filepos = movedpos(wadentry[i].filepos, spans, count, firstchange, false);
        changed = changed || finaldir[i].filepos != wadentry[i].filepos;
    }

    // Only bytes past the directory to reclaim, or no directory to keep
    // whole on the way: the header can point at the final place at once.
    if (!changed || numentries == 0) {
        if (changed) {
            diroffset = static_cast<int32_t>(newdir);
            writewad();
        }
        cutwad(newlength, op);
        return length - newlength;
    }

    // The data that moves, and a directory that points at it, are parked
    // past the end of the file, where nothing the header references lies.
    int64_t parkend = length;
    for (int32_t s = moved; s < count; s++) {
        spans[s].parked = alignedlike(parkend, spans[s].start);
        parkend = spans[s].parked + (spans[s].end - spans[s].start);
    }
    const int64_t parkeddir = alignedlike(parkend, diroffset);
    if (parkeddir + dirbytes > INT32_MAX)
        errorexit("%s: %s: the archive would reach %lld bytes on the way; WAD offsets stop at "
                  "2 GiB\n",
                  op, archive(), static_cast<long long>(parkeddir + dirbytes));
    for (int32_t s = moved; s < count; s++)
        wadcopy(spans[s].start, spans[s].parked, spans[s].end - spans[s].start, op);
    for (int32_t i = 0; i < numentries; i++)
        wadentry[i].filepos = movedpos(wadentry[i].filepos, spans, count, firstchange, true);
    diroffset = static_cast<int32_t>(parkeddir);
    writewad();

    // With the header on the parked directory, nothing it references lies
    // below the end of the file: the data goes into place, then the final
    // directory, and the header points at it.
    for (int32_t s = moved; s < count; s++)
        wadcopy(spans[s].parked, spans[s].final, spans[s].end - spans[s].start, op);
    memcpy(wadentry, finaldir, size_t(numentries) * sizeof(wadentry_t));
    diroffset = static_cast<int32_t>(newdir);
    writewad();
    cutwad(newlength, op);
    return length - newlength;
}
