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

// Whether the last readwad refused the archive, so that no directory is
// loaded.
static bool refused;

// The header and directory on disk, as readwad loaded them or writewad last
// wrote them (`loaded` is false before any readwad and after a refusal),
// and the file they belong to (`identified` is false for a stream with no
// descriptor, which has no identity). A safe change starts from them, and
// its undo puts them back.
static struct {
    bool loaded, identified;
    uint64_t volume, index;
    int wad;
    int32_t count, offset;
    wadentry_t dir[MAXWADENTRIES];
} ondisk;

// The undo of a safe change under way: armed by armwad, disarmed by
// writewad before the header of new content, or by disarmwad. `length` is
// the file's length when the change began; `headermoved` says that the
// header on disk may point at the parked directory; `parkedat` is where
// that directory lies once it is durable and the header points at it (-1
// before), and `parked` and `parkedcount` what it holds.
static struct {
    bool armed;
    bool headermoved;
    int64_t length;
    int64_t parkedat;
    int32_t parkedcount;
    wadentry_t parked[MAXWADENTRIES];
} undo;

static void restorewad();

void errorexit(const char *fmt, ...)
{
    // A failure while a change is being undone ends the process at once:
    // the first failure has been told, and the archive is whole.
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
static unsigned char copyblock[WADBLOCKSIZE];

// ---------------------------------------------------------------------------
// Byte order. The file's integers are little-endian; the process-wide state
// holds them in host order. Records cross the file boundary only in readwad
// and putdirectory, which convert them there; on a little-endian host the
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

// Write `count` records of `dir` at `at`, in one write, in the file's byte
// order: straight from the table on a little-endian host, from a converted
// copy on others.
static void putdirectory(const wadentry_t *dir, int32_t count, int64_t at, const char *op)
{
    const wadentry_t *records = dir;
    if constexpr (!hostislittle) {
        static wadentry_t converted[MAXWADENTRIES];
        for (int i = 0; i < count; i++) {
            converted[i] = dir[i];
            converted[i].filepos = le32(dir[i].filepos);
            converted[i].size = le32(dir[i].size);
        }
        records = converted;
    }
    wadseek(at, op);
    wadwrite(records, size_t(count) * WADENTRYSIZE, op);
}

// Write the header. One that `commits` may point at new content, which no
// undo knows: the undo ends just before its bytes are written.
static void putheader(int type, int32_t count, int32_t offset, bool commits, const char *op)
{
    unsigned char header[WADHEADERSIZE];
    const int32_t c = le32(count), o = le32(offset);
    memcpy(header, type == 0 ? "IWAD" : "PWAD", 4);
    memcpy(header + 4, &c, 4);
    memcpy(header + 8, &o, 4);
    wadseek(0, op);
    if (commits)
        undo.armed = false;
    wadwrite(header, sizeof header, op);
}

// Record the shared header and directory as the ones on disk, in the file
// now open.
static void recordondisk()
{
    os_filestat st;
    ondisk.loaded = true;
    ondisk.identified = fileno(wadfp) >= 0 && os_fstat(fileno(wadfp), &st) == 0;
    ondisk.volume = ondisk.identified ? st.volume : 0;
    ondisk.index = ondisk.identified ? st.index : 0;
    ondisk.wad = wad;
    ondisk.count = numentries;
    ondisk.offset = diroffset;
    memcpy(ondisk.dir, wadentry, size_t(numentries) * sizeof(wadentry_t));
}

// Whether the open stream is the file whose directory is on record: the same
// volume and index, or, for a directory read from a stream with no
// descriptor, again such a stream.
static bool isondiskfile()
{
    os_filestat st;
    if (!ondisk.loaded || !wadfp)
        return false;
    if (!ondisk.identified)
        return fileno(wadfp) < 0;
    return fileno(wadfp) >= 0 && os_fstat(fileno(wadfp), &st) == 0 &&
           st.volume == ondisk.volume && st.index == ondisk.index;
}

// readwad's refusals: a line on standard output, and no directory loaded.
__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static int refuse(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprintf(fmt, args);
    va_end(args);
    refused = true;
    ondisk.loaded = false;
    return 1;
}

int readwad()
{
    // A change under way is over once a directory is read again (of another
    // file, say): its undo would put back what is no longer on record.
    undo.armed = false;
    const int64_t filesize = wadsize("readwad");
    wadseek(0, "readwad");
    unsigned char header[WADHEADERSIZE];
    wadread(header, size_t(std::min(filesize, int64_t{WADHEADERSIZE})),
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
    recordondisk();
    return 0;
}

void writewad()
{
    if (numentries < 0 || numentries > MAXWADENTRIES || diroffset < 0)
        errorexit("writewad: %s: refusing to write %i entries at offset %i\n",
                  archive(), numentries, diroffset);
    if (!isondiskfile())
        errorexit("writewad: %s: no directory of this file is loaded\n", archive());

    // The directory is made durable before the header points at it.
    putdirectory(wadentry, numentries, diroffset, "writewad");
    wadsync("writewad");
    putheader(wad, numentries, diroffset, true, "writewad");
    wadsync("writewad");
    refused = false;
    recordondisk();
}

// ---------------------------------------------------------------------------
// The safe change in place. Its steps, in order:
//
//   needondisk   the shared header and directory are the ones on disk, in
//                the file now open;
//   armwad       arms the undo: until the header moves, a failure cuts off
//                what was written past the end, where alone writes may go;
//   parkwad      writes a directory of the same lumps past the end (their
//                data where it lies, or at copies written there first),
//                points the header at it, and from then on a failure puts
//                the directory that was on disk back in its place, the
//                header back at it, and cuts the file;
//                the change writes its new bytes and directory;
//   writewad     commits: disarms the undo, then points the header at the
//                new directory (disarmwad disarms earlier, for a change
//                that overwrites lump data the old directory references);
//   cutwad       cuts the file to its new end.
//
// The invariant that keeps the archive whole at every instant: no byte that
// the header on disk may reference is written, except the header itself,
// whose 12 bytes lie in one sector and move from one durable directory to
// another. The writes of the undo are checked against it before they are
// made.

// Stop unless the shared header and directory are the ones on disk, in the
// file now open: a change starts from them, and its undo puts them back. A
// refusal leaves none on record.
static void needondisk(const char *op)
{
    if (!isondiskfile())
        errorexit("%s: %s: no directory of this file is loaded\n", op, archive());
    if (fileno(wadfp) < 0)
        errorexit("%s: %s: a change in place needs a file, not a stream in memory\n", op,
                  archive());
    if (numentries != ondisk.count || diroffset != ondisk.offset ||
        (wad == 0) != (ondisk.wad == 0) ||
        memcmp(wadentry, ondisk.dir, size_t(numentries) * sizeof(wadentry_t)) != 0)
        errorexit("%s: %s: the directory was changed in memory; writewad writes it first\n",
                  op, archive());
}

static void armwad(int64_t length)
{
    undo.armed = true;
    undo.headermoved = false;
    undo.length = length;
    undo.parkedat = -1;
}

static void disarmwad()
{
    undo.armed = false;
}

// The park: write the directory in `wadentry` at `at`, past the end of the
// file, make it durable, and point the header at it, durably.
static void parkwad(int64_t at, const char *op)
{
    putdirectory(wadentry, numentries, at, op);
    wadsync(op);
    undo.parkedcount = numentries;
    memcpy(undo.parked, wadentry, size_t(numentries) * sizeof(wadentry_t));
    undo.headermoved = true;
    diroffset = static_cast<int32_t>(at);
    putheader(wad, numentries, diroffset, false, op);
    wadsync(op);
    undo.parkedat = at;
}

// Cut the archive to `length` bytes, durably. This comes after the commit,
// so it ends nothing: 0, or WADCUTFAILED or WADCUTUNSYNCED with errno set.
static int cutwad(int64_t length)
{
    if (os_truncate(fileno(wadfp), length) != 0)
        return WADCUTFAILED;
    return os_sync(fileno(wadfp)) == 0 ? 0 : WADCUTUNSYNCED;
}

// Whether a byte of [from, from + len) lies in the directory of `count`
// records at `at`, or in the data of one of them.
static bool referenced(int64_t from, int64_t len, const wadentry_t *dir, int32_t count,
                       int64_t at)
{
    const auto overlaps = [&](int64_t start, int64_t size) {
        return size > 0 && start < from + len && from < start + size;
    };
    if (overlaps(at, int64_t{count} * WADENTRYSIZE))
        return true;
    for (int32_t i = 0; i < count; i++) {
        if (overlaps(dir[i].filepos, dir[i].size))
            return true;
    }
    return false;
}

// The undo, run by errorexit: put the header, directory and length the
// archive had when the change began back, each step durable before the next
// relies on it. It touches only the file whose directory was on record, and
// stops (the archive whole) where the invariant forbids a write.
static void restorewad()
{
    if (!undo.armed)
        return;
    if (!isondiskfile() || fileno(wadfp) < 0)
        return;
    const char *const op = "restorewad";
    // With the header on the durable parked directory, the old directory's
    // place may hold new bytes: it is written again, unless the parked
    // directory references any of it.
    if (undo.parkedat >= 0) {
        const int64_t dirbytes = int64_t{ondisk.count} * WADENTRYSIZE;
        if (referenced(ondisk.offset, dirbytes, undo.parked, undo.parkedcount, undo.parkedat))
            return;
        putdirectory(ondisk.dir, ondisk.count, ondisk.offset, op);
        wadsync(op);
    }
    // The header may point at the parked directory, and the old one is
    // whole and durable: the header goes back to it.
    if (undo.headermoved) {
        putheader(ondisk.wad, ondisk.count, ondisk.offset, false, op);
        wadsync(op);
    }
    // The header now points where it did, at nothing past the old length.
    cutwad(undo.length);
    undo.armed = false;
}

int wadreplacefrom(int n, int32_t size, wadsource_t source, void *context)
{
    const char *const op = "wadreplace";
    needondisk(op);
    if (n < 0 || n >= numentries)
        errorexit("%s: %s: no entry %i in a directory of %i entries\n", op, archive(), n,
                  numentries);
    if (size < 0)
        errorexit("%s: %s: a lump of %i bytes is impossible\n", op, archive(), size);

    // The bytes go where the directory stands when nothing follows it and no
    // lump's data lies in it; otherwise at the end of the file.
    const int64_t length = wadsize(op);
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
    if (highest > INT32_MAX)
        errorexit("%s: %s: the archive would reach %lld bytes; WAD offsets stop at 2 GiB\n",
                  op, archive(), static_cast<long long>(highest));

    armwad(length);
    if (dirislast)
        parkwad(newend, op);
    // The source may read the archive itself (a lump's data, say), so each
    // block is written at its own offset.
    for (size_t done = 0; done < size_t(size);) {
        const size_t len = std::min(size_t(size) - done, size_t{WADBLOCKSIZE});
        const void *bytes = source(done, len, context);
        wadseek(place + int64_t(done), op);
        wadwrite(bytes, len, op);
        done += len;
    }
    wadentry[n].filepos = static_cast<int32_t>(place);
    wadentry[n].size = size;
    diroffset = static_cast<int32_t>(newdir);
    writewad();
    return dirislast ? cutwad(newend) : 0;
}

static const void *frommemory(size_t at, size_t, void *data)
{
    return static_cast<const unsigned char *>(data) + at;
}

int wadreplace(int n, const void *data, int32_t size)
{
    return wadreplacefrom(n, size, frommemory, const_cast<void *>(data));
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

// The length of the well-formed UTF-8 sequence of a character from U+0080
// up that starts `s`, of which `n` bytes are left; 0 when none does.
static size_t utf8length(const unsigned char *s, size_t n)
{
    size_t len;
    uint32_t c, least;
    if (s[0] >= 0xc2 && s[0] <= 0xdf)
        len = 2, c = s[0] & 0x1fu, least = 0x80;
    else if (s[0] >= 0xe0 && s[0] <= 0xef)
        len = 3, c = s[0] & 0x0fu, least = 0x800;
    else if (s[0] >= 0xf0 && s[0] <= 0xf4)
        len = 4, c = s[0] & 0x07u, least = 0x10000;
    else
        return 0;
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        c = c << 6 | (s[i] & 0x3fu);
    }
    return c < least || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff) ? 0 : len;
}

printname_t printable_string8(wadentry_t entry)
{
    printname_t out{};
    char *at = out.text;
    const auto *name = reinterpret_cast<const unsigned char *>(entry.name);
    const size_t n = strnlen(entry.name, sizeof entry.name);
    for (size_t i = 0; i < n;) {
        // Printable ASCII and valid UTF-8 letters pass; control characters
        // (C0, DEL, and C1 as UTF-8) and bytes of no valid sequence do not.
        size_t len = name[i] < 0x80 ? 1 : utf8length(name + i, n - i);
        const bool control = name[i] < 0x20 || name[i] == 0x7f ||
                             (len == 2 && name[i] == 0xc2 && name[i + 1] < 0xa0);
        if (len > 0 && !control) {
            memcpy(at, name + i, len);
            at += len;
        } else {
            len = len > 0 ? len : 1;
            for (size_t j = i; j < i + len; j++)
                at += snprintf(at, 5, "\\x%02x", name[j]);
        }
        i += len;
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
    if (!isondiskfile()) {
        printf("Cannot add %s: no directory of this file is loaded!\n", name.text);
        return;
    }

    // The directory grows by one record. When anything follows it in the
    // file, or it would overlap the header, it moves to the end of the file
    // instead, so that no lump data is overwritten.
    const int64_t filesize = wadsize("addentry");
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;
    int64_t newdir = diroffset;
    if (newdir < WADHEADERSIZE || newdir + dirbytes != filesize)
        newdir = std::max(filesize, int64_t{WADHEADERSIZE});
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

int64_t compactwad()
{
    const char *const op = "compactwad";
    needondisk(op);
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

    // When lumps move, the protocol keeps the archive whole on the way.
    // When only bytes past the directory go, or there is no directory to
    // keep whole, the header can point at the final place at once.
    if (changed && numentries > 0) {
        // The data that moves, and a directory that points at it, are parked
        // past the end of the file, where nothing the header references lies.
        int64_t parkend = length;
        for (int32_t s = moved; s < count; s++) {
            spans[s].parked = alignedlike(parkend, spans[s].start);
            parkend = spans[s].parked + (spans[s].end - spans[s].start);
        }
        const int64_t parkeddir = alignedlike(parkend, diroffset);
        if (parkeddir + dirbytes > INT32_MAX)
            errorexit("%s: %s: the archive would reach %lld bytes on the way; WAD offsets stop "
                      "at 2 GiB\n",
                      op, archive(), static_cast<long long>(parkeddir + dirbytes));
        const int64_t needed = parkeddir + dirbytes - length;
        const int64_t available = os_freespace(fileno(wadfp));
        if (available >= 0 && available < needed)
            errorexit("%s: %s: moving the data needs %lld bytes of free space, and the file "
                      "system has %lld; nothing was written\n",
                      op, archive(), static_cast<long long>(needed),
                      static_cast<long long>(available));

        armwad(length);
        for (int32_t s = moved; s < count; s++)
            wadcopy(spans[s].start, spans[s].parked, spans[s].end - spans[s].start, op);
        for (int32_t i = 0; i < numentries; i++)
            wadentry[i].filepos = movedpos(wadentry[i].filepos, spans, count, firstchange, true);
        parkwad(parkeddir, op);

        // The data now goes over places the old directory references: from
        // here a failure leaves the header on the parked directory, which
        // references only the data before the first change and the copies
        // past the old end, nothing where the data goes.
        disarmwad();
        for (int32_t s = moved; s < count; s++)
            wadcopy(spans[s].parked, spans[s].final, spans[s].end - spans[s].start, op);
        memcpy(wadentry, finaldir, size_t(numentries) * sizeof(wadentry_t));
    }
    if (changed) {
        diroffset = static_cast<int32_t>(newdir);
        writewad();
    }
    if (cutwad(newlength) != 0)
        errorexit("%s: %s: the archive is whole and its lumps are in place, but cutting it to "
                  "%lld bytes failed: %s; compacting it again shortens it\n",
                  op, archive(), static_cast<long long>(newlength), os_strerror(errno));
    return length - newlength;
}
