// SPDX-License-Identifier: MIT
// change: every call that writes the archive is a change, made through the
// steps below, in order, and only through them; each moves the change's
// state, and the state says what a failure then undoes.
//
//          beginchange        extendwad           parkwad
//   idle ─────────────> locked ─────────> extending ─────────> parking ─────> parked
//                         │                  │                                 │   │
//                         │                  │                      keepparked │   │
//                         │                  │                                 v   │
//                         │                  │                           settled   │
//                         │ commitwad        │ commitwad           commitwad │     │
//                         └──────────────> committing <────────────────────────┴─────┘
//                                              │
//                                              v
//                                          committed
//
//   endchange takes locked (nothing was written) or committed to idle; a
//   failure takes any state to idle, through the undo of that state.
//
//   idle        no change under way; an interruption ends the process at
//               once, nothing having been written.
//   locked      the lock is held and the disk checked against the record of
//               what it holds (unless the program's lock was held through
//               the same open file since then); nothing written. Undo: none.
//   extending   only bytes past the old end of the file are written, where
//               alone writes may go. Undo: cut them off.
//   parking     the header may point at the parked directory, durable past
//               the end. Undo: point the header back at the old one, cut.
//   parked      the header points at the parked directory, and the old
//               directory's place may hold new bytes. Undo: write the old
//               directory back (unless the parked one references its
//               place), point the header at it, cut.
//   settled     data has begun to move over places the old directory
//               references (a compaction, or a directory written over lump
//               data): the header stays on the parked directory, whose lumps
//               are whole. Undo: none; the archive is whole, and longer.
//   committing  the header that commits the change is being written: the
//               commit itself writes the one before back if that fails.
//               Undo: none.
//   committed   the header points at the new directory, durably. Undo: none;
//               only the cut may remain, which is a warning when it fails.
// A failure in locked, extending, parking or parked leaves the archive
// exactly as it was; in settled, whole with the lumps it had; from
// committing on, the change has taken effect (or, when the header cannot be
// written, the header before it is written back).
//
// The invariant that keeps the archive whole at every instant: no byte that
// the header on disk may reference is written, except the header itself,
// whose 12 bytes lie in one sector and move from one durable directory to
// another. The undo's writes are checked against it before they are made.
// An interruption is acted on between durable steps, at interruptionpoint,
// as a failure there would be.

#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

enum changestate { idle, locked, extending, parking, parked, settled, committing, committed };

// The change under way: its state (read in a signal handler), the call that
// began it and its process, the stream and file it works on, whether it
// took the lock itself or the program's lock record it holds it by, the
// file's length when it began, the header on disk
// before its commit, and the parked directory (`parkedcount` records at
// `parkedat`) once its header is being written.
static volatile sig_atomic_t state;
static struct {
    const char *op;
    int64_t pid;
    FILE *fp;
    int fd;
    os_fileid id;
    bool ownslock;
    uint64_t lockrecord;
    int64_t length;
    unsigned char header[WADHEADERSIZE];
    int64_t parkedat;
    int32_t parkedcount;
    const wadentry_t *parked;
} change;

// The signal a program's handler passed on with wadinterrupt, which the
// change under way acts on at its next interruption point.
static volatile sig_atomic_t interruption;

// The program's progress report, and how far the change's writes have come.
static wadprogress_t progress;
static void *progresscontext;
static int64_t written, towrite;

#if defined(LUMPGRAFT_FAULTPOINTS) || !defined(NDEBUG)
// Whether a change may go from state `from` to state `to`.
static bool legal(int from, int to)
{
    switch (to) {
    case locked:
        return from == idle;
    case extending:
        return from == locked;
    case parking:
        return from == extending;
    case parked:
        return from == parking;
    case settled:
        return from == parked;
    case committing:
        return from == locked || from == extending || from == parked || from == settled;
    case committed:
        return from == committing;
    case idle: // the end, or the abort after the undo
        return true;
    }
    return false;
}

#endif

// Move the change to state `to`. A step out of its order is a fault of the
// library, which a test build (and so every fault sweep) stops at.
static void movechange(changestate to)
{
#if defined(LUMPGRAFT_FAULTPOINTS) || !defined(NDEBUG)
    if (!legal(state, to))
        abort();
#endif
    state = to;
}

bool changeunderway()
{
    return state != idle;
}

int changefd()
{
    return change.fd;
}

// ---------------------------------------------------------------------------
// The undo, beside the states it undoes

static void releasechange();

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

// Cut the change's file to `length` bytes, durably: 0, or WADCUTFAILED or
// WADCUTUNSYNCED with errno set.
int cutwad(int64_t length)
{
    if (os_truncate(change.fd, length) != 0)
        return WADCUTFAILED;
    return os_sync(change.fd) == 0 ? 0 : WADCUTUNSYNCED;
}

// Put back the header, directory and length the archive had when the change
// began, as far as its state says anything changed, each step durable before
// the next relies on it. It writes through the change's own descriptor, and
// only while that descriptor is still the change's file. It stops, the
// archive whole, at the first failure, and where the invariant forbids a
// write. Returns whether the archive is again as it was.
static bool undochange()
{
    const int fd = change.fd;
    os_filestat st;
    if (state == locked)
        return true;
    if (state >= settled || fd < 0 || os_fstat(fd, &st) != 0 || !os_sameid(st.id, change.id))
        return false;
    if (state == parked) {
        const int64_t dirbytes = int64_t{ondisk.count} * WADENTRYSIZE;
        if (referenced(ondisk.offset, dirbytes, change.parked, change.parkedcount,
                       change.parkedat) ||
            os_pwrite(fd, tofile(ondisk.dir, ondisk.count), size_t(dirbytes), ondisk.offset) != 0 ||
            os_sync(fd) != 0)
            return false;
    }
    if (state >= parking) {
        unsigned char header[WADHEADERSIZE];
        fileheader(ondisk.wad, ondisk.count, ondisk.offset, header);
        if (os_pwrite(fd, header, sizeof header, 0) != 0 || os_sync(fd) != 0)
            return false;
    }
    // The header now points where it did, at nothing past the old length.
    return cutwad(change.length) == 0;
}

// What the archive holds once a change in `from` is ended, `undone` or not.
static const char *holds(int from, bool undone)
{
    return from >= committing ? "the change had taken effect"
           : from == settled  ? "the archive is whole, with the lumps it had, in a longer file "
                                "that compacting it shortens"
           : from == locked   ? "nothing was written"
           : undone           ? "the archive is as it was"
                              : "the archive is whole, with the lumps it had";
}

// The end of a change a failure stops: undone as its state says, its lock
// released. A forked child's copy of its parent's change is the parent's to
// end. Returns whether the archive is as it was.
static bool abortchange()
{
    if (state == idle || change.pid != os_pid()) {
        movechange(idle);
        endonfatal(nullptr);
        return true;
    }
    const bool undone = undochange();
    releasechange();
    return undone;
}

// The fatal exit's end of the change under way: what the archive then
// holds, unless the failure is the commit's or comes after it, whose
// messages say so. One that a handler goes on from ends the interruption
// that came meanwhile too.
static const char *endforfatal(bool handled)
{
    const int from = state;
    const bool undone = abortchange();
    if (handled)
        interruption = 0;
    return from >= committing ? nullptr : holds(from, undone);
}

// The end of a run interrupted by `interruption`: the change under way is
// ended as a failure would end it (one whose commit has begun is done),
// then one line says so and what the archive holds, and the process ends by
// the signal, after the program's handler, if it has one, which may go on.
[[noreturn]] static void interrupted(const char *op)
{
    const int sig = interruption, from = state;
    const bool undone = abortchange();
    const char *text = format("%s: %s: interrupted by %s; %s\n", op, archive(),
                              os_signalname(sig), holds(from, undone));
    interruption = 0;
    endbyinterruption(sig, text);
}

void wadinterrupt(int signal)
{
    // The first signal counts. Nothing has been written while no change
    // holds the lock, not even while one waits for it: the process ends as
    // it would have without the program's handler.
    if (!interruption)
        interruption = signal;
    if (state == idle)
        os_endbysignal(interruption);
}

void interruptionpoint(const char *op)
{
    if (interruption && state != idle && state < committing)
        interrupted(op);
}

// ---------------------------------------------------------------------------
// The steps

// Stop unless the header and directory on disk are those on record, read
// under the lock: another program may have changed the archive since it was
// read, or put another file in its place.
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
        wadfail(WADERR_CHANGED,
                "%s: %s: the archive changed on disk since it was read; read it again\n", op,
                archive());
}

// Whether the shared header and directory differ from those on record.
static bool changedinmemory()
{
    return numentries != ondisk.count || diroffset != ondisk.offset ||
           (wad == 0) != (ondisk.wad == 0) ||
           memcmp(wadentry, ondisk.dir, size_t(numentries) * sizeof(wadentry_t)) != 0;
}

// Before anything is written: no other change is under way; the shared
// header and directory are on record, of the file now open; the stream does
// not append; the lock is held (taken here unless the stream holds it); and
// the disk still holds what is on record.
os_filestat beginchange(const char *op, bool inplace)
{
    if (state != idle)
        wadfail(WADERR_MISUSE, "%s: %s: another change is under way; one cannot start inside it\n",
                op, archive());
    os_filestat st;
    if (!loadedhere(op, &st))
        wadfail(WADERR_MISUSE, "%s: %s: no directory of this file is loaded\n", op, archive());
    const int fd = fileno(wadfp);
    if (inplace && fd < 0)
        wadfail(WADERR_MISUSE, "%s: %s: a change in place needs a file, not a stream in memory\n",
                op, archive());
    if (inplace && changedinmemory())
        wadfail(WADERR_MISUSE,
                "%s: %s: the directory was changed in memory; writewad writes it first\n", op,
                archive());
    // Every write would land at the end of the file, whatever its offset.
    if (fd >= 0 && os_appends(wadfp))
        wadfail(WADERR_MISUSE,
                "%s: %s: the stream was opened for appending, which puts every write at the end "
                "of the file\n",
                op, archive());
    flushstream(op);
    change.op = op;
    change.pid = os_pid();
    change.fp = wadfp;
    change.fd = fd;
    change.id = st.id;
    change.ownslock = false;
    change.lockrecord = 0;
    if (fd >= 0 && takelock(fd, st.id, true, &change.ownslock, &change.lockrecord) != 0) {
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
    endonfatal(endforfatal);
    movechange(locked);
    fileheader(ondisk.wad, ondisk.count, ondisk.offset, change.header);
    // Under the program's lock, held through this open file since the
    // directory was read, no other program can have changed the disk.
    if (fd >= 0 && (change.lockrecord == 0 || change.lockrecord != ondisk.lockrecord))
        checkdisk(op);
    interruptionpoint(op);
    return st;
}

// Code the change calls (a source) must not close or replace the stream,
// nor edit the table.
void needstream(const char *op)
{
    os_filestat st;
    if (wadfp != change.fp || fileno(wadfp) != change.fd ||
        (change.fd >= 0 && (os_fstat(change.fd, &st) != 0 || !os_sameid(st.id, change.id))))
        wadfail(WADERR_MISUSE,
                "%s: %s: the archive's stream was closed or replaced while a change was under "
                "way\n",
                op, archive());
    if (changedinmemory())
        wadfail(WADERR_MISUSE,
                "%s: %s: the directory was changed in memory while a change was under way\n", op,
                archive());
}

// WAD offsets are signed 32-bit numbers. `how` says when the archive would
// be that long.
void needoffsets(int64_t length, const char *how, const char *op)
{
    if (length > INT32_MAX)
        wadfail(WADERR_ARCHIVE,
                "%s: %s: the archive would reach %lld bytes%s; WAD offsets stop at 2 GiB\n", op,
                archive(), static_cast<long long>(length), how);
}

// From here a failure cuts off what was written past `length`, the file's
// length when the change began.
void extendwad(int64_t length)
{
    change.length = length;
    movechange(extending);
}

void wadonprogress(wadprogress_t report, void *context)
{
    progress = report;
    progresscontext = context;
}

void willwrite(int64_t total)
{
    written = 0;
    towrite = total;
}

void wrote(int64_t len)
{
    written += len;
    if (progress)
        progress(written, towrite, progresscontext);
}

void copywithin(int64_t from, int64_t to, int64_t len, const char *op)
{
    for (int64_t done = 0; done < len;) {
        const int64_t left = len - done;
        const size_t n = left < int64_t{sizeof copyblock} ? size_t(left) : sizeof copyblock;
        readat(copyblock, n, from + done, op);
        writeat(copyblock, n, to + done, op);
        done += int64_t(n);
        wrote(int64_t(n));
        interruptionpoint(op);
    }
}

// The park: write `count` records of `dir` at `at`, past the end of the
// file, make them durable, and point a header of type `type` at them,
// durably. From then on a failure puts the directory that was on disk back
// in its place, the header back at it, and cuts the file. The undo reads
// `dir`, which stays as it is until the change ends.
void parkwad(const wadentry_t *dir, int32_t count, int type, int64_t at, const char *op)
{
    writeat(tofile(dir, count), size_t(count) * WADENTRYSIZE, at, op);
    syncfile(op);
    interruptionpoint(op);
    change.parkedcount = count;
    change.parked = dir;
    change.parkedat = at;
    fileheader(type, count, static_cast<int32_t>(at), change.header);
    movechange(parking);
    writeat(change.header, sizeof change.header, 0, op);
    syncfile(op);
    movechange(parked);
    interruptionpoint(op);
}

// From here a failure leaves the header where it points: the parked
// directory, whose lumps stay whole while data moves over the old places.
void keepparked()
{
    movechange(settled);
}

// The commit: the shared directory at `diroffset`, durable, then the header
// that points at it. The undo ends just before the header's bytes are
// written: from then on the header on disk may point at the new directory,
// which no undo knows.
void commitwad(const char *op)
{
    writeat(tofile(wadentry, numentries), size_t(numentries) * WADENTRYSIZE, diroffset, op);
    syncfile(op);
    interruptionpoint(op);
    unsigned char header[WADHEADERSIZE];
    fileheader(wad, numentries, diroffset, header);
    movechange(committing);
    if (!trywrite(header, sizeof header, 0) || !trysync()) {
        // Part of the header may be on disk: the one before is written back
        // whole, pointing at a directory that is whole and durable.
        const int reason = errno;
        if (trywrite(change.header, sizeof change.header, 0) && trysync())
            wadfail(WADERR_SYSTEM,
                    "%s: %s: writing the header that commits the change failed: %s; the header "
                    "points at the directory before the change again\n",
                    op, archive(), os_strerror(reason));
        wadfail(WADERR_SYSTEM,
                "%s: %s: writing the header that commits the change failed: %s, and so did "
                "writing back the one before: the header may be torn\n",
                op, archive(), os_strerror(reason));
    }
    movechange(committed);
    recordondisk(change.fd >= 0, change.id, change.lockrecord);
}

// Release the lock the change took, unless the program took it meanwhile.
static void releasechange()
{
    if (change.ownslock)
        releaselock(change.fd, change.id);
    movechange(idle);
    endonfatal(nullptr);
}

// The end of a change; an interruption that came while it finished ends the
// process now, saying what the change did. One that comes as the lock is
// released finds no change, and ends it as it would have then.
void endchange()
{
    if (interruption)
        interrupted(change.op);
    releasechange();
    if (interruption)
        os_endbysignal(interruption);
}
