// SPDX-License-Identifier: MIT
// waddir: the directory of one open WAD archive, kept in process-wide state.
//
// A WAD archive is a 12-byte header ("IWAD" or "PWAD", entry count, directory
// offset), lump data anywhere in the file, and a directory of 16-byte entries.
// Every integer is 32-bit little-endian in the file and in host order in
// the process-wide state, on every host.
//
// Calling pattern:
//   1. The caller opens the archive for binary update, stores the stream in
//      `wadfp` and its path in `wadname` (used in messages only).
//   2. `readwad` loads the header and directory into `wad`, `numentries`,
//      `diroffset` and `wadentry`. It returns 1, after a line on standard
//      output, for an archive it refuses; no directory is loaded then, and
//      the caller must not write the archive.
//   3. The caller reads and changes `wadentry`, `numentries` and `diroffset`.
//   4. `writewad` writes the directory at `diroffset`, makes it durable, then
//      writes the header that points at it and makes that durable too. A
//      caller that must keep the archive whole at every instant writes the
//      new directory where the header does not point yet; `wadreplace` and
//      `compactwad` do all of that themselves.
//   5. The caller closes `wadfp`.
// A program that works on several archives in turn closes one, sets `wadfp`
// to null, then opens the next and reads it with `readwad` before any other
// call: the calls that write, and the undo, act only on the file whose
// directory `readwad` loaded, and refuse any other.
//
// The library never opens or closes the archive stream. Any failed read,
// write, seek or sync on the archive ends the process through `errorexit`.
//
// A safe change in place (`wadreplace`, `compactwad`) keeps the header on
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
// The undo behind this is armed only while a change is under way, only for
// the file whose directory the library holds (the same volume and index),
// and is disarmed just before the header of new content is written; any
// `readwad`, and so any refusal, ends it. It never writes a byte that the
// header on disk may reference.
//
// State that belongs to the loaded file: `wad`, `numentries`, `diroffset`
// and `wadentry` (the caller's to read and change), and, inside the library,
// the header and directory as they are on disk and the identity (volume and
// index) of the file they came from. `wadfp` and `wadname` are the caller's.
//
// The header compiles as C99 and as C++, and every name has C linkage; the
// library is C++ inside but needs no C++ runtime, so a C program links it
// with the C compiler alone.

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
// message exactly as formatted on standard error and exits with status 255.
// When a safe change in place is under way, it first undoes it, as the
// calling pattern says; a failure while undoing ends the process at once,
// with the archive whole.
WADDIR_NORETURN void errorexit(const char *fmt, ...) WADDIR_PRINTF(1, 2);

// readwad: load header and directory from `wadfp`. Returns 0 when loaded, 1
// when refused: a magic other than "IWAD"/"PWAD", more than 5000 entries, a
// negative count or offset, or a directory that overlaps the header or runs
// past the end of the file. On refusal the table is left as it was,
// `numentries` and `diroffset` hold the header's values, and no directory is
// loaded: lookups find nothing, and the calls that need a directory refuse,
// until a `readwad` loads one.
int readwad(void);

// writewad: write the directory at `diroffset`, make it durable, then write
// the header that points at it and make that durable (fdatasync,
// F_FULLFSYNC on macOS, FlushFileBuffers on Windows). The header never
// points at a directory not yet written; but where it already points at
// `diroffset`, the directory is rewritten in place, and a crash midway
// leaves it half old, half new. It is the commit of a safe change: the undo
// is disarmed once the directory is durable, before the header is written.
// With no directory loaded (after a refusal, or before any readwad), or
// another file open than the one `readwad` loaded, it writes nothing and
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

// addentry: append `entry` to the directory and write directory and header.
// A name already present gets a warning and is appended all the same. When
// lump data follows the directory, the directory moves to the end of the file
// so that nothing is overwritten. A full table, a negative count or an
// archive that `readwad` refused gets a line on standard output, and nothing
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
// archive (with cachelump, say), and ends the process through errorexit when
// it cannot give the bytes.
typedef const void *(*wadsource_t)(size_t at, size_t len, void *context);

// wadreplace: make the `size` bytes at `data` the data of entry `n`, in
// place, as a safe change, and leave the shared state as written. The bytes
// go where the directory stands when it is the last thing in the file and
// holds no lump's data, so that the archive grows by exactly `size` bytes;
// otherwise at the end of the file. Entry n's old data stays in the file,
// unreferenced, until `compactwad`.
//
// The shared header and directory must be those on disk, as `readwad`
// loaded them or `writewad` wrote them, of the open file. A refused
// archive, another file, a directory changed only in memory, an index
// outside the directory, a negative size or an archive that would pass
// 2 GiB ends the process through errorexit before anything is written.
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
// alignment padding stays. Entry order, names, sizes, the magic and every
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
// 2 GiB on the way, and any failed call end the process through errorexit;
// so does a cut that fails after the commit, with the archive whole and the
// lumps in their final places, for a second compaction to cut.
int64_t compactwad(void);

#ifdef __cplusplus
}
#endif

#endif
