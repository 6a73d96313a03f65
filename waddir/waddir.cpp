// SPDX-License-Identifier: MIT
// waddir: header and directory of the open WAD archive, entry names, level
// structure queries and lump and archive editing.

#include "waddir.h"

#include "layout.h"
#include "os.h"

#include <algorithm>
#include <iterator>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

FILE *wadfp;
FILE *wadmsgfp;
const char *wadname;
int wad;
int32_t numentries;
int32_t diroffset;
wadentry_t wadentry[MAXWADENTRIES];

// Whether the last readwad refused the archive, so that no directory is
// loaded.
static bool refused;

// The header and directory on disk, as readwad loaded them or a change last
// wrote them (`loaded` is false before any readwad, after a refusal and
// after a fatal error), and the file they belong to (`identified` is false
// for a stream with no descriptor, which has no identity). A change starts
// from them, checks that the disk still holds them, and its undo puts them
// back.
static struct {
    bool loaded, identified;
    os_fileid id;
    int wad;
    int32_t count, offset;
    wadentry_t dir[MAXWADENTRIES];
} ondisk;

// The locks taken for the program with wadlock, which last until the
// program closes the stream: the descriptor, the file, and the process
// that took it; an empty slot has pid 0, which no process has. A record is
// believed only while all three still hold and, where the system can tell,
// the descriptor's open file still holds the lock: a number that came back
// after a close, on this file or another, or a descriptor a forked child
// inherited, is another's, and its record is dropped.
struct heldlock {
    int fd;
    os_fileid id;
    int64_t pid;
};
static heldlock heldlocks[64];

// What a change has done so far, and so what its abort undoes. Only the
// protocol's steps move it, in this order.
enum changestate {
    idle,      // no change under way
    locked,    // under the lock, checked against the disk, nothing written:
               // the abort only releases the lock
    extending, // only bytes past the end written: they are cut off
    parking,   // the header may point at the parked directory: it is pointed
               // back at the old one, then as when extending
    parked,    // the old directory's place may hold new bytes: the old
               // directory is written back, then as when parking
    committed, // the header points at a directory that stays (the new one,
               // or a compaction's parked one while its data moves over the
               // old places): nothing is undone
};

// The change under way: its state, whether its commit has begun (`done`),
// the process that began it, the stream and file it works on, whether it
// took the lock itself, the file's length when it began, and the parked
// directory (`parkedcount` records at `parkedat`) once its header is being
// written.
static struct {
    changestate state;
    bool done;
    const char *op;
    int64_t pid;
    FILE *fp;
    int fd;
    os_fileid id;
    bool ownslock;
    int64_t length;
    unsigned char header[WADHEADERSIZE]; // the header on disk before the commit
    int64_t parkedat;
    int32_t parkedcount;
    wadentry_t parked[MAXWADENTRIES];
} change;

// The program's handler of fatal errors, and what it is given with them.
static waderrorhandler_t errorhandler;
static void *errorcontext;

// The signal a program's handler passed on with wadinterrupt, which the
// change under way acts on at its next step, and whether a change holds
// the lock and acts on one (`acting`): without one, a signal ends the
// process at once. Both are read in a signal handler.
static volatile sig_atomic_t interruption;
static volatile sig_atomic_t acting;

// The kind of the last fatal error, for the program's handler.
static int lasterror;

static bool abortchange();
static void forgetarchive();

void wadinterrupt(int signal)
{
    // The first signal counts. Nothing has been written while no change
    // acts, not even while one waits for the lock: the process ends as it
    // would have without the program's handler.
    if (!interruption)
        interruption = signal;
    if (!acting)
        os_endbysignal(interruption);
}

int waderror()
{
    return lasterror;
}

void wadonerror(waderrorhandler_t handler, void *context)
{
    errorhandler = handler;
    errorcontext = context;
}

// `fmt` formatted, in a buffer that lives until the next call.
static const char *formatted(const char *fmt, va_list args)
{
    static char *message;
    static char fallback[256];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    char *room = n >= 0 ? static_cast<char *>(realloc(message, size_t(n) + 1)) : nullptr;
    if (!room) {
        vsnprintf(fallback, sizeof fallback, fmt, args);
        return fallback;
    }
    message = room;
    vsnprintf(message, size_t(n) + 1, fmt, args);
    return message;
}

__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static const char *format(const char *fmt,
                                                                               ...)
{
    va_list args;
    va_start(args, fmt);
    const char *text = formatted(fmt, args);
    va_end(args);
    return text;
}

// A fatal error of `kind`. Without a handler, the message comes first, so
// that a kill during the undo cannot hide the reason; a handler is given it
// once the change is undone, its lock released and the library holds no
// archive (the lock the program took stays), with errno as the failing
// call left it: it may leave by longjmp, or by an exception.
[[noreturn]] static void fail(int kind, const char *fmt, va_list args)
{
    const int reason = errno;
    lasterror = kind;
    if (!errorhandler) {
        // Progress lines come first, so the fatal message follows them in a
        // log that captures both streams.
        fflush(stdout);
        vfprintf(stderr, fmt, args);
        fflush(stderr);
        abortchange();
        // _Exit, not exit: the program's own streams are left as they are.
        std::_Exit(255);
    }
    const char *message = formatted(fmt, args);
    abortchange();
    forgetarchive();
    // A handler that goes on ends an interruption that came meanwhile too.
    interruption = 0;
    errno = reason;
    errorhandler(message, errorcontext);
    fflush(stdout);
    fputs(message, stderr);
    fflush(stderr);
    std::_Exit(255);
}

void errorexit(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fail(WADERR_CALLER, fmt, args);
}

__attribute__((format(WADDIR_PRINTF_FORMAT, 2, 3))) [[noreturn]] static void
wadfail(int kind, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fail(kind, fmt, args);
}

// The end of a run interrupted by `interruption`: the change under way is
// undone as a failure would undo it (a change whose commit has begun is
// done), then one line says so and what the archive holds, and the process
// ends by the signal, after the program's handler, if it has one.
[[noreturn]] static void interrupted(const char *op);

static void checkinterrupt(const char *op)
{
    if (interruption && change.state != idle && !change.done)
        interrupted(op);
}

// ---------------------------------------------------------------------------
// I/O on the archive. The library reads and writes the file through the
// stream's descriptor at explicit offsets, past the stream's buffer: it
// reads what the file holds, whatever the program read through the stream
// before, and leaves nothing in the buffer that a later flush would write.
// A stream with no descriptor (one in memory) goes through stdio. Each
// failure names the archive and the system's reason and ends the process.

static const char *archive()
{
    return wadname ? wadname : "archive";
}

// The program's own writes through the stream reach the file before the
// library looks at it.
static void wadflush(const char *op)
{
    if (os_flush(wadfp) != 0)
        wadfail(WADERR_SYSTEM, "%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
}

// Read up to len bytes at `at`: how many, less only at the end of the
// file, or -1 with errno set.
static int64_t readat(void *buf, size_t len, int64_t at)
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

// A read of len bytes that gave `got`, told as a failure.
[[noreturn]] static void readfailed(int64_t got, size_t len, const char *op)
{
    if (got < 0)
        wadfail(WADERR_SYSTEM, "%s: %s: read failed: %s\n", op, archive(), os_strerror(errno));
    wadfail(WADERR_ARCHIVE, "%s: %s: file ends before %zu bytes could be read\n", op, archive(),
            len);
}

static void wadreadat(void *buf, size_t len, int64_t at, const char *op)
{
    const int64_t got = readat(buf, len, at);
    if (got != int64_t(len))
        readfailed(got, len, op);
    checkinterrupt(op);
}

// Write len bytes at `at`: true, or false with errno set.
static bool writeat(const void *buf, size_t len, int64_t at)
{
    const int fd = fileno(wadfp);
    if (len == 0)
        return true;
    if (fd >= 0)
        return os_pwrite(fd, buf, len, at) == 0;
    return os_seek(wadfp, at, SEEK_SET) == 0 && fwrite(buf, len, 1, wadfp) == 1 &&
           fflush(wadfp) == 0;
}

static void wadwriteat(const void *buf, size_t len, int64_t at, const char *op)
{
    if (!writeat(buf, len, at))
        wadfail(WADERR_SYSTEM, "%s: %s: write failed: %s\n", op, archive(), os_strerror(errno));
    checkinterrupt(op);
}

// Make what was written durable: true, or false with errno set. A stream
// with no descriptor has nothing to make durable.
static bool syncs()
{
    return fileno(wadfp) < 0 || os_sync(fileno(wadfp)) == 0;
}

static void wadsync(const char *op)
{
    if (!syncs())
        wadfail(WADERR_SYSTEM, "%s: %s: sync failed: %s\n", op, archive(), os_strerror(errno));
    checkinterrupt(op);
}

// The status of the open archive's descriptor `fd`.
static os_filestat wadstat(int fd, const char *op)
{
    os_filestat st;
    if (os_fstat(fd, &st) != 0)
        wadfail(WADERR_SYSTEM, "%s: %s: fstat failed: %s\n", op, archive(), os_strerror(errno));
    return st;
}

// The stream's position at the end of the file, where it is left.
static int64_t wadend(const char *op)
{
    int64_t end;
    if (os_seek(wadfp, 0, SEEK_END) != 0 || (end = os_tell(wadfp)) < 0)
        wadfail(WADERR_SYSTEM, "%s: %s: cannot find the end of the file: %s\n", op, archive(),
                  os_strerror(errno));
    return end;
}

// The archive's length in bytes.
static int64_t wadsize(const char *op)
{
    return fileno(wadfp) >= 0 ? wadstat(fileno(wadfp), op).size : wadend(op);
}

int64_t wadlength()
{
    wadflush("wadlength");
    return wadend("wadlength");
}

// Copies of archive data pass through this buffer, a block at a time.
static unsigned char copyblock[WADBLOCKSIZE];

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

// `count` records in the host's byte order, from the file's, in place.
static void fromfile(wadentry_t *dir, int32_t count)
{
    if constexpr (!hostislittle) {
        for (int32_t i = 0; i < count; i++) {
            dir[i].filepos = le32(dir[i].filepos);
            dir[i].size = le32(dir[i].size);
        }
    }
}

// `count` records of `dir` in the file's byte order: the table itself on a
// little-endian host, a converted copy on others.
static const wadentry_t *tofile(const wadentry_t *dir, int32_t count)
{
    if constexpr (hostislittle)
        return dir;
    static wadentry_t converted[MAXWADENTRIES];
    memcpy(converted, dir, size_t(count) * sizeof(wadentry_t));
    fromfile(converted, count); // the same swap
    return converted;
}

// A header's 12 bytes as the file holds them. The protocol's steps write
// them at 0 themselves, as the moment they do so moves the change's state.
static void fileheader(int type, int32_t count, int32_t offset, unsigned char *header)
{
    const int32_t c = le32(count), o = le32(offset);
    memcpy(header, type == 0 ? "IWAD" : "PWAD", 4);
    memcpy(header + 4, &c, 4);
    memcpy(header + 8, &o, 4);
}

// ---------------------------------------------------------------------------
// Header and directory

// Write `count` records of `dir` at `at`, in one write.
static void putdirectory(const wadentry_t *dir, int32_t count, int64_t at, const char *op)
{
    wadwriteat(tofile(dir, count), size_t(count) * WADENTRYSIZE, at, op);
}

// Record the shared header and directory as the ones on disk, in the file
// `id` now open, or in a stream with no descriptor.
static void recordondisk(bool identified, const os_fileid &id)
{
    ondisk.loaded = true;
    ondisk.identified = identified;
    ondisk.id = id;
    ondisk.wad = wad;
    ondisk.count = numentries;
    ondisk.offset = diroffset;
    memcpy(ondisk.dir, wadentry, size_t(numentries) * sizeof(wadentry_t));
}

// Whether the open stream is the file whose directory is on record: the
// same volume and index, or, for a directory read from a stream with no
// descriptor, again such a stream. `st` receives the file's status (all
// zero for such a stream).
static bool loadedhere(const char *op, os_filestat *st)
{
    *st = {};
    if (!ondisk.loaded || !wadfp || (fileno(wadfp) >= 0) != ondisk.identified)
        return false;
    if (ondisk.identified)
        *st = wadstat(fileno(wadfp), op);
    return os_sameid(st->id, ondisk.id);
}

// One of the library's own lines (a refusal, a warning), where the
// program sends them: standard output unless it chose another stream.
__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static void note(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vfprintf(wadmsgfp ? wadmsgfp : stdout, fmt, args);
    va_end(args);
}

// readwad's refusals: a line, and no directory loaded.
__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static int refuse(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vfprintf(wadmsgfp ? wadmsgfp : stdout, fmt, args);
    va_end(args);
    refused = true;
    ondisk.loaded = false;
    return 1;
}

int readwad()
{
    const char *const op = "readwad";
    // A change commits the shared directory: another may not take its place.
    if (change.state != idle)
        wadfail(WADERR_MISUSE, "readwad: %s: a change is under way; read the archive once it ends\n",
                  archive());
    wadflush(op);
    const bool identified = fileno(wadfp) >= 0;
    const os_filestat st = identified ? wadstat(fileno(wadfp), op) : os_filestat{};
    const int64_t filesize = identified ? st.size : wadend(op);
    unsigned char header[WADHEADERSIZE];
    wadreadat(header, size_t(std::min(filesize, int64_t{WADHEADERSIZE})), 0, op);
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

    wadreadat(wadentry, size_t(numentries) * WADENTRYSIZE, diroffset, op);
    fromfile(wadentry, numentries);
    refused = false;
    recordondisk(identified, st.id);
    return 0;
}

// ---------------------------------------------------------------------------
// The change in place. Every call that writes the archive is one, through
// these steps, in order:
//
//   beginchange  no other change is under way; the shared header and
//                directory are on record, of the file now open; the
//                stream does not append; the lock is
//                held (taken here unless the program holds it); and the
//                disk still holds what is on record. Nothing is written
//                before all of that is true.
//   extendwad    from here a failure cuts off what was written past the
//                end of the file, where alone writes may go;
//   parkwad      writes a directory of the same lumps past the end (their
//                data where it lies, or at copies written there first),
//                points the header at it, and from then on a failure puts
//                the directory that was on disk back in its place, the
//                header back at it, and cuts the file;
//                the change writes its new bytes and directory;
//   commitwad    writes the new directory, makes it durable, ends the undo,
//                then points the header at it (settlewad ends the undo
//                earlier, for a compaction, whose data then moves over
//                places the old directory references);
//   cutwad       cuts the file to its new end;
//   endchange    releases the lock the change took.
//
// The invariant that keeps the archive whole at every instant: no byte that
// the header on disk may reference is written, except the header itself,
// whose 12 bytes lie in one sector and move from one durable directory to
// another. The writes of the undo are checked against it before they are
// made.

// Stop unless the shared header and directory are on record, of the file
// now open: a change starts from them, and its undo puts them back. A
// refusal or a fatal error leaves none on record. Returns the file's status
// (all zero for a stream with no descriptor).
static os_filestat needloaded(const char *op)
{
    os_filestat st;
    if (!loadedhere(op, &st))
        wadfail(WADERR_MISUSE, "%s: %s: no directory of this file is loaded\n", op, archive());
    return st;
}

// Stop unless an archive of `length` bytes can still be pointed into: WAD
// offsets are signed 32-bit numbers. `how` says when it would be that long.
static void needoffsets(int64_t length, const char *how, const char *op)
{
    if (length > INT32_MAX)
        wadfail(WADERR_ARCHIVE, "%s: %s: the archive would reach %lld bytes%s; WAD offsets stop at 2 GiB\n",
                  op, archive(), static_cast<long long>(length), how);
}

// Whether the record `h` may still be true: its descriptor is still open on
// its file, and the system does not say that it no longer holds the lock.
static bool stillheld(const heldlock &h)
{
    os_filestat st;
    return os_fstat(h.fd, &st) == 0 && os_sameid(st.id, h.id) && os_lockheld(h.fd) != 0;
}

// Drop the records no longer true.
static void dropstale()
{
    for (heldlock &h : heldlocks) {
        if (h.pid != 0 && !stillheld(h))
            h = {-1, {}, 0};
    }
}

// The record of this process's wadlock through fd, on file `id`, while it
// may still be true.
static heldlock *recordof(int fd, const os_fileid &id)
{
    dropstale();
    for (heldlock &h : heldlocks) {
        if (h.pid == os_pid() && h.fd == fd && os_sameid(h.id, id))
            return &h;
    }
    return nullptr;
}

// Whether this process holds the lock of file `id` through another open
// file than fd's, which a wait through fd would wait for forever: by its
// own record, by one a forked child inherited with the descriptor that
// shares its parent's lock, or as the system sees it.
static bool heldelsewhere(int fd, const os_fileid &id)
{
    dropstale();
    for (const heldlock &h : heldlocks) {
        if (h.pid != 0 && os_sameid(h.id, id) && (h.fd != fd || h.pid != os_pid()))
            return true;
    }
    return os_lockelsewhere(fd) == 1;
}

// Take the lock through fd, of file `id`, waiting for it or not: 0 when fd
// holds it now (`took`: it was taken here), 1 when another program holds it
// and `wait` is false, or -1 with errno set: EDEADLK when this process holds
// it through another open file, EBUSY when fd holds a shared lock, which a
// change cannot use and must not convert. A record is never reason enough
// not to take it: where the system cannot tell, taking it again through the
// descriptor that holds it costs nothing, and is then not taken here.
static int takelock(int fd, const os_fileid &id, bool wait, bool *took)
{
    *took = false;
    // A record the system now belies (of a descriptor closed and opened
    // anew, say) goes before the lock is taken through that descriptor.
    dropstale();
    const int held = os_lockheld(fd);
    if (held == 1)
        return 0;
    if (held == 2) {
        errno = EBUSY;
        return -1;
    }
    int r = os_lock(fd, false);
    if (r == 1) {
        if (heldelsewhere(fd, id)) {
            errno = EDEADLK;
            return -1;
        }
        if (!wait)
            return 1;
        r = os_lock(fd, true);
    }
    if (r != 0)
        return -1;
    *took = held == 0 || !recordof(fd, id);
    return 0;
}

// wadlock, waiting for the lock or not. A lock the descriptor holds already
// (a change under way took it, or the program did itself) becomes the
// program's as it is.
static int lockwad(bool wait)
{
    const int fd = wadfp ? fileno(wadfp) : -1;
    os_filestat st;
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (os_fstat(fd, &st) != 0)
        return -1;
    heldlock *slot = recordof(fd, st.id);
    if (!slot)
        slot = std::find_if(std::begin(heldlocks), std::end(heldlocks),
                            [](const heldlock &h) { return h.pid == 0; });
    if (slot == std::end(heldlocks)) {
        errno = ENOLCK;
        return -1;
    }
    bool took;
    const int r = takelock(fd, st.id, wait, &took);
    if (r == 0)
        *slot = {fd, st.id, os_pid()};
    return r;
}

int wadlock()
{
    return lockwad(true);
}

int wadtrylock()
{
    return lockwad(false);
}

// Stop unless the header and directory on disk are those on record, read
// under the lock: another program may have changed the archive since it
// was read, or put another file in its place.
static void checkdisk(const char *op)
{
    unsigned char header[WADHEADERSIZE], expected[WADHEADERSIZE];
    static wadentry_t seen[MAXWADENTRIES];
    const size_t dirbytes = size_t(ondisk.count) * WADENTRYSIZE;
    fileheader(ondisk.wad, ondisk.count, ondisk.offset, expected);
    const int64_t got = os_pread(change.fd, header, sizeof header, 0);
    const int64_t gotdir = got < 0 ? 0 : os_pread(change.fd, seen, dirbytes, ondisk.offset);
    if (got < 0 || gotdir < 0)
        wadfail(WADERR_SYSTEM, "%s: %s: read failed: %s\n", op, archive(), os_strerror(errno));
    fromfile(seen, ondisk.count);
    if (got != WADHEADERSIZE || memcmp(header, expected, sizeof header) != 0 ||
        gotdir != int64_t(dirbytes) || memcmp(seen, ondisk.dir, dirbytes) != 0)
        wadfail(WADERR_CHANGED, "%s: %s: the archive changed on disk since it was read; read it again\n",
                  op, archive());
}

// Whether the shared header and directory differ from those on record.
static bool changedinmemory()
{
    return numentries != ondisk.count || diroffset != ondisk.offset ||
           (wad == 0) != (ondisk.wad == 0) ||
           memcmp(wadentry, ondisk.dir, size_t(numentries) * sizeof(wadentry_t)) != 0;
}

// A change in place (`inplace`) also needs a file, and starts from the
// directory on record, unchanged in memory.
static void beginchange(const char *op, bool inplace)
{
    if (change.state != idle)
        wadfail(WADERR_MISUSE, "%s: %s: another change is under way; one cannot start inside it\n", op,
                  archive());
    const os_filestat st = needloaded(op);
    const int fd = fileno(wadfp);
    if (inplace && fd < 0)
        wadfail(WADERR_MISUSE, "%s: %s: a change in place needs a file, not a stream in memory\n", op,
                  archive());
    if (inplace && changedinmemory())
        wadfail(WADERR_MISUSE, "%s: %s: the directory was changed in memory; writewad writes it first\n",
                  op, archive());
    // Every write would land at the end of the file, whatever its offset.
    if (fd >= 0 && os_appends(wadfp))
        wadfail(WADERR_MISUSE, "%s: %s: the stream was opened for appending, which puts every write at the "
                  "end of the file\n",
                  op, archive());
    wadflush(op);
    change.op = op;
    change.pid = os_pid();
    change.fp = wadfp;
    change.fd = fd;
    change.id = st.id;
    change.ownslock = false;
    // The change takes the lock through its own stream unless it holds it
    // already: the program's, or one it took itself.
    if (fd >= 0 && takelock(fd, st.id, true, &change.ownslock) != 0) {
        if (errno == EDEADLK)
            wadfail(WADERR_MISUSE,
                    "%s: %s: the program holds the archive's lock through another stream; a "
                    "change through this one would wait for it forever\n",
                    op, archive());
        if (errno == EBUSY)
            wadfail(WADERR_MISUSE,
                    "%s: %s: the stream holds a shared lock on the archive, and a change needs "
                    "the exclusive one\n",
                    op, archive());
        wadfail(WADERR_SYSTEM, "%s: %s: cannot lock: %s\n", op, archive(), os_strerror(errno));
    }
    acting = 1;
    change.state = locked;
    change.done = false;
    fileheader(ondisk.wad, ondisk.count, ondisk.offset, change.header);
    if (fd >= 0)
        checkdisk(op);
    checkinterrupt(op);
}

// Stop unless the change's stream is still the open archive, on the same
// file, and the shared directory as the change began: code the change calls
// (a source) must not close or replace the stream, nor edit the table.
static void needunmoved(const char *op)
{
    os_filestat st;
    if (wadfp != change.fp || fileno(wadfp) != change.fd ||
        (change.fd >= 0 && (os_fstat(change.fd, &st) != 0 || !os_sameid(st.id, change.id))))
        wadfail(WADERR_MISUSE, "%s: %s: the archive's stream was closed or replaced while a change was "
                  "under way\n",
                  op, archive());
    if (changedinmemory())
        wadfail(WADERR_MISUSE, "%s: %s: the directory was changed in memory while a change was under way\n",
                  op, archive());
}

static void extendwad(int64_t length)
{
    change.length = length;
    change.state = extending;
}

// The park: write `count` records of `dir` at `at`, past the end of the
// file, make them durable, and point a header of type `type` at them,
// durably.
static void parkwad(const wadentry_t *dir, int32_t count, int type, int64_t at,
                    const char *op)
{
    putdirectory(dir, count, at, op);
    wadsync(op);
    change.parkedcount = count;
    memcpy(change.parked, dir, size_t(count) * sizeof(wadentry_t));
    change.parkedat = at;
    fileheader(type, count, static_cast<int32_t>(at), change.header);
    change.state = parking;
    wadwriteat(change.header, sizeof change.header, 0, op);
    wadsync(op);
    change.state = parked;
}

// From here a failure leaves the header where it points: a compaction's
// parked directory, whose lumps stay whole while data moves elsewhere.
static void settlewad()
{
    change.state = committed;
}

// The commit: the shared directory at `diroffset`, durable, then the header
// that points at it. The undo ends just before the header's bytes are
// written: from then on the header on disk may point at the new directory,
// which no undo knows.
static void commitwad(const char *op)
{
    putdirectory(wadentry, numentries, diroffset, op);
    wadsync(op);
    unsigned char header[WADHEADERSIZE];
    fileheader(wad, numentries, diroffset, header);
    change.state = committed;
    change.done = true;
    if (!writeat(header, sizeof header, 0) || !syncs()) {
        // Part of the header may be on disk: the one before is written back
        // whole, pointing at a directory that is whole and durable.
        const int reason = errno;
        if (writeat(change.header, sizeof change.header, 0) && syncs())
            wadfail(WADERR_SYSTEM, "%s: %s: writing the header that commits the change failed: %s; the "
                      "header points at the directory before the change again\n",
                      op, archive(), os_strerror(reason));
        wadfail(WADERR_SYSTEM, "%s: %s: writing the header that commits the change failed: %s, and so did "
                  "writing back the one before: the header may be torn\n",
                  op, archive(), os_strerror(reason));
    }
    recordondisk(change.fd >= 0, change.id);
}

// Cut the file open on fd to `length` bytes, durably: 0, or WADCUTFAILED or
// WADCUTUNSYNCED with errno set.
static int cutwad(int fd, int64_t length)
{
    if (os_truncate(fd, length) != 0)
        return WADCUTFAILED;
    return os_sync(fd) == 0 ? 0 : WADCUTUNSYNCED;
}

// Release the lock the change took, unless the program took it meanwhile.
// All is durable by now; a release that fails leaves the lock until the
// stream is closed, which releases it anyway.
static void releasechange()
{
    os_filestat st;
    acting = 0;
    if (change.ownslock && os_fstat(change.fd, &st) == 0 && os_sameid(st.id, change.id) &&
        !recordof(change.fd, change.id))
        os_unlock(change.fd);
    change.state = idle;
}

// The end of a change; an interruption that came while it finished ends the
// process now, saying what the change did.
static void endchange()
{
    releasechange();
    if (interruption)
        interrupted(change.op);
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

// The undo: put back the header, directory and length the archive had when
// the change began, as far as its state says anything changed, each step
// durable before the next relies on it. It writes through the change's own
// descriptor, and only while that descriptor is still the change's file. It
// stops, the archive whole, at the first failure, and where the invariant
// forbids a write. Returns whether the archive is again as it was.
static bool undochange()
{
    const int fd = change.fd;
    os_filestat st;
    if (change.state < extending)
        return true;
    if (change.state == committed || fd < 0 || os_fstat(fd, &st) != 0 ||
        !os_sameid(st.id, change.id))
        return false;
    // With the header on the durable parked directory, the old directory's
    // place may hold new bytes: it is written again, unless the parked
    // directory references any of it.
    if (change.state == parked) {
        const int64_t dirbytes = int64_t{ondisk.count} * WADENTRYSIZE;
        if (referenced(ondisk.offset, dirbytes, change.parked, change.parkedcount,
                       change.parkedat) ||
            os_pwrite(fd, tofile(ondisk.dir, ondisk.count), size_t(dirbytes), ondisk.offset) != 0 ||
            os_sync(fd) != 0)
            return false;
    }
    // The header may point at the parked directory, and the old one is
    // whole and durable: the header goes back to it.
    if (change.state >= parking) {
        unsigned char header[WADHEADERSIZE];
        fileheader(ondisk.wad, ondisk.count, ondisk.offset, header);
        if (os_pwrite(fd, header, sizeof header, 0) != 0 || os_sync(fd) != 0)
            return false;
    }
    // The header now points where it did, at nothing past the old length.
    return cutwad(fd, change.length) == 0;
}

// errorexit's end of a change under way: undo it, then release its lock.
// A forked child's copy of its parent's change is the parent's to end.
// Returns whether the archive is as it was.
static bool abortchange()
{
    bool undone = true;
    if (change.state != idle && change.pid == os_pid()) {
        undone = undochange();
        releasechange();
    }
    change.state = idle;
    return undone;
}

void interrupted(const char *op)
{
    const int sig = interruption;
    const bool done = change.done, settled = change.state == committed,
               written = change.state >= extending;
    const bool undone = abortchange();
    const char *holds = done      ? "the change had taken effect"
                        : settled ? "the archive is whole, with the lumps it had, in a longer file "
                                    "that compacting it shortens"
                        : !written ? "nothing was written"
                        : undone   ? "the archive is as it was"
                                   : "the archive is whole, with the lumps it had";
    const char *text =
        format("%s: %s: interrupted by %s; %s\n", op, archive(), os_signalname(sig), holds);
    lasterror = WADERR_INTERRUPTED;
    fflush(stdout);
    if (errorhandler) {
        // A handler that goes on has been told: later changes run again.
        forgetarchive();
        interruption = 0;
        errorhandler(text, errorcontext);
    }
    fputs(text, stderr);
    fflush(stderr);
    os_endbysignal(sig);
}

// After a fatal error that a handler may survive, the library holds no
// archive: no directory, so that writers refuse until the next readwad.
// A lock the program took stays until it closes the stream.
static void forgetarchive()
{
    refused = true;
    ondisk.loaded = false;
}

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
    needoffsets(highest, "", op);

    extendwad(length);
    if (dirislast)
        parkwad(wadentry, numentries, wad, newend, op);
    // The source may read the archive itself (a lump's data, say).
    for (size_t done = 0; done < size_t(size);) {
        const size_t len = std::min(size_t(size) - done, size_t{WADBLOCKSIZE});
        const void *bytes = source(done, len, context);
        needunmoved(op);
        if (!bytes)
            wadfail(WADERR_CALLER, "%s: %s: the source gave no bytes for %zu to %zu of the %i to store\n", op,
                      archive(), done, done + len, size);
        wadwriteat(bytes, len, place + int64_t(done), op);
        done += len;
    }
    wadentry[n].filepos = static_cast<int32_t>(place);
    wadentry[n].size = size;
    diroffset = static_cast<int32_t>(newdir);
    commitwad(op);
    const int cut = dirislast ? cutwad(change.fd, newend) : 0;
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

// Copy len bytes of the archive from `from` to `to`, a block at a time from
// the front, so that a copy to a lower offset may overlap its source.
static void wadcopy(int64_t from, int64_t to, int64_t len, const char *op)
{
    for (int64_t done = 0; done < len;) {
        const int64_t left = len - done;
        const size_t n = left < int64_t{sizeof copyblock} ? size_t(left) : sizeof copyblock;
        wadreadat(copyblock, n, from + done, op);
        wadwriteat(copyblock, n, to + done, op);
        done += int64_t(n);
    }
}

// ---------------------------------------------------------------------------
// Directory, lump and archive editing

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
    // A directory over lump data it lists would leave that lump holding
    // directory records. (The old directory's own bytes are rewritten by
    // any change of it, whoever lists them.)
    const int64_t olddirend = ondisk.offset + int64_t{ondisk.count} * WADENTRYSIZE;
    for (int32_t i = 0; i < numentries; i++) {
        const wadentry_t &e = wadentry[i];
        const int64_t from = std::max(int64_t{e.filepos}, int64_t{diroffset});
        const int64_t to = std::min(int64_t{e.filepos} + e.size, diroffset + dirbytes);
        if (from < to && (from < ondisk.offset || to > olddirend))
            wadfail(WADERR_MISUSE,
                    "%s: %s: the directory at %i would go over the data of entry %i (%s); add "
                    "entries with addentry, or move diroffset past the data\n",
                    op, archive(), diroffset, i, printable_string8(e).text);
    }
    const int64_t length = wadsize(op);
    // An empty directory past the end would extend nothing: the header would
    // point past the file.
    if (diroffset > length && dirbytes == 0)
        wadfail(WADERR_MISUSE, "%s: %s: refusing to write %i entries at offset %i\n", op,
                archive(), numentries, diroffset);
    const int64_t end = std::max(length, diroffset + dirbytes);
    const auto under = [&](int64_t from, int64_t size) {
        return change.fd >= 0 && size > 0 && dirbytes > 0 && from < diroffset + dirbytes &&
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
        for (int32_t i = 0; i < ondisk.count; i++) {
            if (parked[i].filepos != ondisk.dir[i].filepos)
                wadcopy(ondisk.dir[i].filepos, parked[i].filepos, parked[i].size, op);
        }
        parkwad(parked, ondisk.count, ondisk.wad, at, op);
        // Lump data that the new directory goes over cannot be put back: a
        // failure from here leaves the parked directory, with every lump.
        if (moveslumps)
            settlewad();
    }
    commitwad(op);
    const int cut = parks ? cutwad(change.fd, end) : 0;
    if (cut == WADCUTFAILED)
        note("%s: %s: warning: the directory is written, but the %lld bytes past it could not "
               "be cut off: %s\n",
               op, archive(), static_cast<long long>(at + olddirbytes - end), os_strerror(errno));
    else if (cut == WADCUTUNSYNCED)
        note("%s: %s: warning: the directory is written, but the %lld bytes past it may come "
               "back after a crash: %s\n",
               op, archive(), static_cast<long long>(at + olddirbytes - end), os_strerror(errno));
    endchange();
}

void writewad()
{
    writedirectory("writewad");
}

void addentry(wadentry_t entry)
{
    const printname_t name = printable_string8(entry);

    if (refused) {
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
    wadflush("addentry");
    const int64_t filesize = wadsize("addentry");
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

unsigned char *cachelump(int n)
{
    if (refused)
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
    wadflush(what);
    const size_t size = static_cast<size_t>(entry.size);
    auto *buf = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!buf)
        wadfail(WADERR_SYSTEM, "cachelump: Couldn't malloc %i bytes\n", entry.size);
    const int64_t got = readat(buf, size, entry.filepos);
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
    wadflush(op);
    const int64_t length = wadsize(op);
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
        const int64_t got = readat(copyblock, n, done);
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
    wadend(op);
}

// ---------------------------------------------------------------------------
// Compaction: the plan, from numbers alone, then the change that carries it
// out.

int64_t compactwad()
{
    const char *const op = "compactwad";
    beginchange(op, true);
    const int64_t length = wadsize(op);
    static wadlayout plan;
    const int32_t bad = plancompaction(wadentry, numentries, diroffset, length, &plan);
    if (bad >= 0)
        wadfail(WADERR_ARCHIVE, "%s: %s: entry %i (%s): a lump of %i bytes at %i is not in the file's data\n",
                  op, archive(), bad, printable_string8(wadentry[bad]).text, wadentry[bad].size,
                  wadentry[bad].filepos);
    if (!plan.shorter) {
        endchange(); // nothing to reclaim: the archive is not written
        return 0;
    }

    // When lumps move, the protocol keeps the archive whole on the way.
    // When only bytes past the directory go, or there is no directory to
    // keep whole, the header can point at the final place at once.
    if (plan.moves && numentries > 0) {
        needoffsets(plan.parkedend, " on the way", op);
        const int64_t needed = plan.parkedend - length;
        const int64_t available = os_freespace(change.fd);
        if (available >= 0 && available < needed)
            wadfail(WADERR_SYSTEM, "%s: %s: moving the data needs %lld bytes of free space, and the file "
                      "system has %lld; nothing was written\n",
                      op, archive(), static_cast<long long>(needed),
                      static_cast<long long>(available));

        extendwad(length);
        for (int32_t s = plan.moved; s < plan.spancount; s++) {
            const wadspan &span = plan.spans[s];
            wadcopy(span.start, span.parked, span.end - span.start, op);
        }
        memcpy(wadentry, plan.parked, size_t(numentries) * sizeof(wadentry_t));
        parkwad(plan.parked, numentries, wad, plan.parkeddir, op);

        // The data now goes over places the old directory references: from
        // here a failure leaves the header on the parked directory, which
        // references only the data before the first change and the copies
        // past the old end, nothing where the data goes.
        settlewad();
        for (int32_t s = plan.moved; s < plan.spancount; s++) {
            const wadspan &span = plan.spans[s];
            wadcopy(span.parked, span.final, span.end - span.start, op);
        }
        memcpy(wadentry, plan.final, size_t(numentries) * sizeof(wadentry_t));
    }
    if (plan.moves) {
        diroffset = static_cast<int32_t>(plan.newdir);
        commitwad(op);
    }
    // The cut is what a compaction is for: the run fails without it, with
    // the archive whole and its lumps in their final places.
    const int cut = cutwad(change.fd, plan.newlength);
    if (cut == WADCUTFAILED)
        wadfail(WADERR_SYSTEM, "%s: %s: the archive is whole and its lumps are in place, but cutting it to "
                  "%lld bytes failed: %s; compacting it again shortens it\n",
                  op, archive(), static_cast<long long>(plan.newlength), os_strerror(errno));
    if (cut == WADCUTUNSYNCED)
        wadfail(WADERR_SYSTEM, "%s: %s: the archive is whole, its lumps are in place and it is cut to %lld "
                  "bytes, but making the cut durable failed: %s; after a crash it may be longer "
                  "again, and compacting it again shortens it\n",
                  op, archive(), static_cast<long long>(plan.newlength), os_strerror(errno));
    endchange();
    return length - plan.newlength;
}
