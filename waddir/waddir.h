// SPDX-License-Identifier: MIT
// waddir: the directory of one open WAD archive, kept in process-wide state.
//
// A WAD archive is a 12-byte header ("IWAD" or "PWAD", entry count, directory
// offset), lump data anywhere in the file, and a directory of 16-byte entries.
// Every integer is 32-bit little-endian in the file and in host order in
// the process-wide state, on every host.
//
// Calling pattern:
//   1. The caller opens the archive for binary update ("r+b", not for
//      appending), stores the stream in `wadfp` and its path in `wadname`
//      (used in messages only), and may take the archive's lock with
//      `wadlock`.
//   2. `readwad` loads the header and directory into `wad`, `numentries`,
//      `diroffset` and `wadentry`. It returns 1, after a line on
//      `wadmsgfp`, for an archive it refuses; no directory is loaded then, and
//      the caller must not write the archive.
//   3. The caller reads and changes `wadentry`, `numentries` and `diroffset`.
//   4. `writewad` writes the directory at `diroffset`, makes it durable, then
//      writes the header that points at it and makes that durable too. A
//      caller that must keep the archive whole at every instant writes the
//      new directory where the header does not point yet; `wadreplace` and
//      `compactwad` do all of that themselves.
//   5. The caller closes `wadfp`, which releases the lock.
// A program that works on several archives in turn closes one, sets `wadfp`
// to null, then opens the next and reads it with `readwad` before any other
// call: the calls that write, and the undo, act only on the file whose
// directory `readwad` loaded, and refuse any other.
// A program that adds many lumps makes them one change: under `wadlock`,
// taken before `readwad`, it writes their data at the end of the file
// through the stream, appends their entries to `wadentry`, sets `diroffset`
// to the end of the new data, and calls `writewad` once.
//
// The library never opens or closes the archive stream. It reads and writes
// the file through the stream's descriptor, at explicit offsets, past the
// stream's buffer (pushing the program's own buffered writes out first): a
// program that reads through the stream after a change reopens it, or
// reads with `cachelump`. Any failed read, write, seek or sync on the
// archive ends the process through `errorexit`. A process made by fork
// shares the stream's descriptor, and so its lock, with its parent, which
// therefore does not keep the two apart: a forked process that changes the
// archive opens it anew and reads it.
//
// Every call that writes the archive (`writewad`, `addentry`, `wadreplace`,
// `wadreplacefrom`, `compactwad`) is a change, made as one whole:
//   - under the archive's lock, the one the command takes (flock on POSIX,
//     a lock on one byte beyond 4 GiB on Windows; readers are never
//     blocked by it), from its check until its cut. A change takes the lock
//     itself, for its own duration, unless the program holds it through
//     `wadlock`;
//   - checked before it writes anything: the header and directory on disk
//     must be those `readwad` loaded (or the last change wrote), or it
//     refuses: another program changed the archive since, or another file
//     took its place, and reading it again is the fix. Where the program's
//     `wadlock` has held the lock through the same stream since then, no
//     other change can have come between, and the check reads nothing;
//   - alone: a call that writes, made while a change is under way (from a
//     source, say), refuses, and so does `readwad`.
// So a program that never takes the lock itself, and writes the archive
// only through these calls, can still rely on this: its change is made on
// top of the archive it read, or not at all, and no other change that takes
// the lock (the command's, or another program's through this library) is
// made between the check and the cut. What it read may be older than the
// disk by then: it then gets a refusal. A program that writes bytes itself
// (a new lump's data, at the end of the file, before `addentry`) holds the
// lock from before `readwad` until it closes the stream, and never gets a
// refusal.
//
// A change in place (`wadreplace`, `compactwad`, and `writewad` where the new
// directory goes over the one the header points at) keeps the header on
// disk pointing at a complete directory of intact lumps at every instant:
//   - park: what the change will overwrite (the directory, and lump data
//     that moves) is copied past the end of the file, and the header is
//     pointed at a durable directory of the same lumps there;
//   - write: the new bytes and the new directory go in place, made durable;
//   - commit: the header is pointed at the new directory, durably;
//   - cut: the file is cut to its new end.
// What a failure leaves, by when it happens:
//   - before the park, only bytes past the end have been written: they are
//     cut off, and the archive is exactly as it was;
//   - after the park, until the commit: the old directory goes back in its
//     place, the header is pointed at it and the file cut, so the archive is
//     again exactly as it was (a compaction, whose data moves over the old
//     places, keeps the parked directory instead: the same lumps, in a
//     longer file);
//   - while a header is being written: the header on disk is the old one or
//     the new one, each pointing at a durable directory; the archive is
//     whole, and the bytes past its end stay until a compaction;
//   - after the commit: the change has taken effect; only the cut can fail,
//     and the archive is whole, and longer.
// The undo behind this runs only for the change under way, only on the
// file it began on (the same descriptor, volume and index), and ends just
// before the header of new content is written. It never writes a byte that
// the header on disk may reference.
//
// The library's own lines (readwad's refusals, addentry's warnings and
// refusals, writewad's warning) go to `wadmsgfp`, or to standard output
// while it is null, as it is at start; its fatal messages go to standard
// error.
//
// State that belongs to the loaded file: `wad`, `numentries`, `diroffset`
// and `wadentry` (the caller's to read and change), and, inside the library,
// the header and directory as they are on disk, the identity (volume and
// index) of the file they came from, the lock it holds and the change under
// way. `wadfp` and `wadname` are the caller's.
//
// The header compiles as C99 and as C++, and every name has C linkage; the
// library is C++ inside but needs no C++ runtime, so a C program links it
// with the C compiler alone. It exports the names declared here and no
// other. waddir(3) is its manual.

#ifndef WADDIR_H
#define WADDIR_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// One directory entry, laid out as in the file; its numbers are in the
// host's byte order here, and converted where records cross the file.
typedef struct wadentry_t {
    int32_t filepos; // absolute offset of the lump's data
    int32_t size;    // length of the lump's data in bytes
    char name[8];    // NUL-padded; eight characters have no terminator
} wadentry_t;
// A directory record is 16 bytes (this fails to compile otherwise).
typedef char wadentry_t_is_16_bytes[sizeof(wadentry_t) == 16 ? 1 : -1];

enum {
    WADHEADERSIZE = 12,     // magic, entry count, directory offset
    WADENTRYSIZE = 16,      // one directory record
    MAXWADENTRIES = 5000,   // size of the `wadentry` table
    WADBLOCKSIZE = 1 << 20  // most bytes a wadsource_t gives at once
};

extern FILE *wadfp;          // the open archive; opened and closed by the caller
extern FILE *wadmsgfp;       // where the library's own lines go; null: standard output
extern const char *wadname;  // its path, for messages; may be null
extern int wad;              // 0 "IWAD", 1 "PWAD", 2 neither
extern int32_t numentries;   // entry count from the header
extern int32_t diroffset;    // directory offset from the header
extern wadentry_t wadentry[MAXWADENTRIES];

// errorexit's arguments are checked against its format by the rules of the
// printf in use: MinGW's own on Windows, which knows C99's %zu and %lld.
// Compilers that know neither attribute are given neither.
#ifdef __MINGW_PRINTF_FORMAT
#define WADDIR_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define WADDIR_PRINTF_FORMAT printf
#endif
#if defined(__GNUC__) || defined(__clang__)
#define WADDIR_NORETURN __attribute__((noreturn))
#define WADDIR_PRINTF(fmt, args) __attribute__((format(WADDIR_PRINTF_FORMAT, fmt, args)))
#elif defined(_MSC_VER)
#define WADDIR_NORETURN __declspec(noreturn)
#define WADDIR_PRINTF(fmt, args)
#else
#define WADDIR_NORETURN
#define WADDIR_PRINTF(fmt, args)
#endif

// errorexit: the program's one fatal exit. Flushes standard output, prints the
// message exactly as formatted on standard error and exits with status 255
// at once (_Exit): no other stream is flushed and no atexit function runs.
// Messages name the call and `wadname` ("archive" when it is null).
// When a change is under way, it first ends it, undoing it as the calling
// pattern says; a failure while undoing stops the undo there, with the
// archive whole. A program's handler (wadonerror) changes what follows.
WADDIR_NORETURN void errorexit(const char *fmt, ...) WADDIR_PRINTF(1, 2);

// waderrorhandler_t: a program's handler of fatal errors, given the message
// as errorexit would print it, its newline included (valid until the next
// fatal error), and the context given to wadonerror.
typedef void (*waderrorhandler_t)(const char *message, void *context);

// wadonerror: have errorexit call `handler` (null: none, the default). It is
// called once the change under way is undone, the lock it took released and
// whatever the failing call opened or allocated let go, and the library has
// forgotten the archive: no directory is loaded, so that the calls that
// write refuse until the next readwad. A lock the program took with wadlock
// is still held, until it closes the stream. waderror() tells the kind of
// error, and errno is as the failing call left it. The handler may leave by longjmp, or, in
// C++, by an exception (the library is built to let one pass); if it
// returns, errorexit prints the message on standard error and exits with
// status 255. A source fails the same way, calling errorexit with its own
// message. Without a handler, errorexit is as above, byte for byte.
void wadonerror(waderrorhandler_t handler, void *context);

// wadonprogress: have the calls that write many bytes (a graft's data, a
// compaction's moves, the copies writewad parks) call `progress` after each
// block they write, with the bytes written so far of those they will write,
// and `context` (null: none, the default). A program shows progress with
// it; it must not call the library.
typedef void (*wadprogress_t)(int64_t done, int64_t total, void *context);
void wadonprogress(wadprogress_t progress, void *context);

// waderror: the kind of the last fatal error, 0 before any.
enum {
    WADERR_SYSTEM = 1,      // a call on a file failed (errno holds why): a
                            // full disk, a read error
    WADERR_CHANGED = 2,     // the archive changed on disk since it was read
                            // (another program's change): read it again
    WADERR_INTERRUPTED = 3, // a signal passed on with wadinterrupt
    WADERR_MISUSE = 4,      // the calling pattern was not followed: no
                            // directory loaded, another file, a change under
                            // way, the directory over its own lumps...
    WADERR_ARCHIVE = 5,     // the archive cannot be read or changed so: a
                            // lump outside the file, offsets past 2 GiB
    WADERR_CALLER = 6       // the program's own errorexit, or its source's
};
int waderror(void);

// readwad: load header and directory from `wadfp`. Returns 0 when loaded, 1
// when refused: a magic other than "IWAD"/"PWAD", a file shorter than a
// header, more than 5000 entries, a negative count or offset, or a
// directory that overlaps the header or runs past the end of the file. On
// refusal the table is left as it was, `numentries` and `diroffset` hold the
// header's values (a file shorter than 12 bytes has none: they keep what
// they held), and no directory is loaded: lookups find nothing, and the
// calls that need a directory refuse, until a `readwad` loads one. Called
// while a change is under way, it ends the process through errorexit.
int readwad(void);

// wadtrylock: wadlock, without waiting: 0 when it holds the lock, 1 when
// another program holds it (nothing is taken), -1 with the reason in errno.
int wadtrylock(void);

// wadinterrupt: passes on a signal (SIGINT, say) from the program's own
// handler, where it is safe to call. The change under way ends at its next
// step as a failure would end it, undone; one that has begun its commit
// ends first. Then the handler set with wadonerror, if any, is given a
// message that names the signal and says what the archive holds, and the
// process ends by the signal, unless the handler leaves: the interruption
// is then over, and later changes run. The first signal counts; a second
// does not cut the undo short. While no change is under way, waiting for
// the lock included, nothing has been written, and the process ends by the
// signal at once, as without the program's handler; nothing is kept for a
// later change. A signal the program ignored at start stays its business.
void wadinterrupt(int signal);

// wadlock: wait for, then hold, the archive's lock on `wadfp` until the
// stream is closed, so that nothing another program changes through the
// lock comes between this program's `readwad` and its changes. Taking it
// again, or a change made while it is held, neither waits for it nor
// releases it, and neither does a fatal error a handler survives. Returns
// 0, or -1 with the reason in errno: EDEADLK when this process holds it
// through another stream of the same file, which this one would wait for
// forever. The lock belongs to the stream it was taken on, in this
// process: once the stream is closed, a stream opened later (on the same
// descriptor number, or the same file) holds nothing, and a change through
// it takes the lock itself, waiting like any other program's; so does a
// forked child's change, through the stream it opens anew. A child
// process started while the stream is open shares its lock until it closes
// what it inherited: open the archive close-on-exec ("r+be" with glibc)
// where children are started. At most 64 streams hold it at once (ENOLCK).
// Nothing the library does
// releases a lock it did not take: one the program took otherwise (flock
// on the stream's descriptor) stays too, where the system can tell (Linux,
// Windows); elsewhere the next change releases it.
int wadlock(void);

// writewad: write the directory at `diroffset`, make it durable, then write
// the header that points at it and make that durable (fdatasync,
// F_FULLFSYNC on macOS, FlushFileBuffers on Windows). The header never
// points at a directory not yet written, and nothing the header points at
// is written over: where the new directory goes over the one on disk (an
// entry renamed or removed, a directory grown in place), or over lump data
// that one lists, these are first parked past the end of the file (the
// lumps as copies), as wadreplace does, and cut off again once the header
// points at the new one; whatever stops it, the archive on disk lists the
// old directory (or, once lump data is written over, the parked one, with
// the same lumps) or the new one, whole. The file then holds exactly what
// writing in place would have left: nothing is moved or cut besides, and
// bytes past the new directory stay. When that cut fails, or may not be
// durable, a warning line on `wadmsgfp` says so, with the bytes left
// past the directory; the change has taken effect. A directory that would
// lie over the header, or reach 2 GiB, is refused, and so is one that would
// lie over the data of a lump it lists, outside the old directory's place:
// that lump would then hold directory records. addentry moves the directory
// past such data; a program adding many lumps moves `diroffset` past their
// data itself (see the calling pattern).
//
// It is a change: under the lock, which it takes for its own duration when
// the program does not hold it, and only when the disk still holds what
// `readwad` loaded, or the last change wrote; whatever it wrote past the
// end of the file is cut off again when it fails before the header. With no
// directory loaded (after a refusal, or before any readwad), another file
// open than the one `readwad` loaded, an archive changed on disk since, a
// stream opened for appending, or a change under way, it writes nothing and
// ends the process through errorexit.
void writewad(void);

// wadlength: the archive's length in bytes, as found by seeking to its end
// (which leaves the stream there).
int64_t wadlength(void);

// convert_string8: an entry's name as a terminated string. The string lives
// in a ring of 99 static slots and stays valid through the next 98 calls.
char *convert_string8(wadentry_t entry);

// printable_string8: an entry's name for a message, as convert_string8 gives
// it but with each byte of a control character (below 0x20, 0x7f, and
// U+0080 to U+009F in UTF-8) and each byte that is not part of valid UTF-8
// written as \xHH, so that a crafted name cannot drive the terminal.
// Printable ASCII and valid UTF-8 letters are left as they are.
typedef struct printname_t {
    char text[8 * 4 + 1];
} printname_t;
printname_t printable_string8(wadentry_t entry);

// entry_exist: index of the first entry whose name matches `name` (compared
// case-sensitively over at most eight characters), or -1.
int entry_exist(const char *name);

// findinfo: a copy of the first entry matching `name`, or an all-zero entry.
wadentry_t findinfo(const char *name);

// islevel: 1 when entry n+1 exists and is named "THINGS", else 0 (also for
// any n when no directory is loaded, whatever `numentries` holds).
int islevel(int n);

// islevelentry: 1 when `name` is exactly one of the eleven level lump names
// ("THINGS", "LINEDEFS", ... "BEHAVIOR"), else 0.
int islevelentry(const char *name);

// findlevelsize: the sum of the sizes of the ten entries that follow the
// entry named `name` (entries past the directory count nothing). Returns -1
// when no entry has that name, or when the sum does not fit in 32 bits.
int32_t findlevelsize(const char *name);

// addentry: append `entry` to the directory and write directory and header,
// as writewad does. A program that adds a lump with data writes the data at
// the end of the file itself, through the stream (the library pushes it
// out before it looks), under the lock it took with wadlock before readwad,
// then adds the entry that points at it.
// A name already present gets a warning and is appended all the same. When
// lump data follows the directory, the directory moves to the end of the file
// so that nothing is overwritten. A full table, a negative count or an
// archive that `readwad` refused gets a line on `wadmsgfp`, and nothing
// changes.
void addentry(wadentry_t entry);

// cachelump: a newly allocated buffer (the caller frees it) holding the data
// of entry `n`. No directory loaded, an index outside the directory, a
// negative size or offset, or a lump that cannot be read whole ends the
// process through errorexit.
unsigned char *cachelump(int n);

// copywad: write a copy of the whole archive to `path`, made durable. A path
// that names the archive itself is refused rather than emptied. Any failure
// ends the process through errorexit.
void copywad(const char *path);

// wadsource_t: gives `len` bytes (at most WADBLOCKSIZE) of new lump data,
// starting `at` bytes into it, for wadreplacefrom, which asks for them in
// order: a pointer to them, valid until the next call. It may read the
// archive (with cachelump, say), but not close or replace `wadfp`, change
// the table, read a directory or start a change, and it does not leave by
// longjmp or an exception: when it cannot give the bytes, it calls
// errorexit, or returns null, and the change ends the process (or goes to
// the handler), blaming the source. Either way the change is undone. A
// source that closed the stream leaves the archive with the parked
// directory, whole, as its descriptor no longer reaches it.
typedef const void *(*wadsource_t)(size_t at, size_t len, void *context);

// wadreplace: make the `size` bytes at `data` the data of entry `n`, in
// place, as a safe change, and leave the shared state as written. The bytes
// go where the directory stands when it is the last thing in the file and
// holds no lump's data, so that the archive grows by exactly `size` bytes;
// otherwise at the end of the file. Entry n's old data stays in the file,
// unreferenced, until `compactwad`.
//
// The shared header and directory must be those on disk, as `readwad`
// loaded them or the last change wrote them, of the open file. A refused
// archive, another file, an archive changed on disk since, a directory
// changed only in memory, a stream opened for appending, a change under
// way, an index outside the directory, a negative size or an archive that
// would pass 2 GiB ends the process through errorexit before anything is
// written.
//
// Returns 0 when the change is durable and the file ends at the new
// directory. When the change parked the directory, the cut of that copy
// comes after the commit, and may fail (on Windows, while another program
// maps the archive): the change has taken effect all the same, and
// WADCUTFAILED (not cut) or WADCUTUNSYNCED (cut, but not durably) says so,
// with the reason in errno; as many bytes as the directory may then stay
// past its end.
enum { WADCUTFAILED = 1, WADCUTUNSYNCED = 2 };
int wadreplace(int n, const void *data, int32_t size);

// wadreplacefrom: wadreplace, with the bytes taken from `source` a block at
// a time, so that they need not all be in memory at once.
int wadreplacefrom(int n, int32_t size, wadsource_t source, void *context);

// compactwad: reclaim, in place, the bytes that no entry references, and
// return how many. Afterwards the file holds the header, then each maximal
// run of referenced bytes once, in the order of their offsets, then the
// directory, and ends there; each run and the directory go at the lowest
// offset after what precedes them that keeps their offset modulo 4, so that
// alignment padding stays. A layout that would be no shorter than the file
// (padding can outweigh what it reclaims) is not made: the archive is then
// left as it is, and 0 returned. Entry order, names, sizes, the magic and every
// lump's bytes stay as they were, and entries that shared or overlapped data
// still do. An empty entry in data that moves moves with it; one in a
// reclaimed gap goes to the end of the data before it. Data before the first
// gap wider than padding is not rewritten, and an archive with nothing to
// reclaim is not written at all.
//
// It is a safe change: the data that moves, and a directory that points at
// it, are parked past the end of the file; then the data is copied into
// place, the final directory committed and the file cut. When the file
// system says it has less free space than the parked data and directory
// need, nothing is written. Its preconditions are wadreplace's. A lump that
// is not inside the file after the header, an archive that would pass
// 2 GiB on the way, and any failed call end the process through errorexit.
// The cut is what it is for, so a cut that fails after the commit, or is
// not made durable, ends the process too, each with its own message, the
// archive whole and the lumps in their final places, for a second
// compaction to cut.
int64_t compactwad(void);

#ifdef __cplusplus
}
#endif

#endif
