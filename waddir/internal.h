// SPDX-License-Identifier: MIT
// internal: what the library's rooms give one another. Nothing outside
// waddir/ includes it. From the lowest room to the highest:
//   errors.cpp     the fatal exit, the program's handler, the kinds of
//                  error, and the library's own lines;
//   io.cpp         reads, writes and syncs at offsets, and lengths;
//   wadfile.cpp    byte order, the header and directory as loaded and on
//                  record, and readwad's refusals;
//   names.cpp      names and level queries;
//   lock.cpp       the lock's records and lifetime;
//   change.cpp     the change: its states, steps and undo, and
//                  interruptions;
//   directory.cpp  writewad and addentry;
//   replace.cpp    wadreplace and wadreplacefrom;
//   lumps.cpp      cachelump and copywad;
//   compact.cpp    compactwad, carrying out layout.cpp's plan.
// A room's own functions call only the rooms above it in this list; the
// fatal exit ends a change under way through the one function the change
// registers with it while it is under way. The library's calls, waddir.h's,
// may ask any room (readwad refuses while a change is under way).

#ifndef WADDIR_INTERNAL_H
#define WADDIR_INTERNAL_H

#include "waddir.h"

#include "os.h"

#include <cstdarg>

// ---------------------------------------------------------------------------
// errors.cpp

// A fatal error of `kind`: the change under way is ended first, then the
// message is printed and the process ends, or the program's handler is
// given it.
[[noreturn]] void wadfail(int kind, const char *fmt, ...)
    __attribute__((format(WADDIR_PRINTF_FORMAT, 2, 3)));
// Have a fatal error call `end`, which says what the archive then holds,
// until it is set to null: the change under way does, while it is.
void endonfatal(const char *(*end)(bool handled));
// How many fatal errors the program's handler was given, and went on from.
unsigned survivederrors();
// The interruption that ends the process: its message, printed or given to
// the handler, then the signal.
[[noreturn]] void endbyinterruption(int signal, const char *message);
// One of the library's own lines, on wadmsgfp or standard output.
void note(const char *fmt, ...) __attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2)));
void vnote(const char *fmt, va_list args);
// `fmt` formatted, in a buffer that lives until the next call.
const char *format(const char *fmt, ...) __attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2)));
// The archive's name for messages: wadname, or "archive".
const char *archive();

// ---------------------------------------------------------------------------
// io.cpp: on wadfp, through its descriptor at explicit offsets (through
// stdio for a stream with no descriptor). The checked ones end the process
// with a message naming `op` and the archive.

// Copies of archive data pass through this buffer, a block at a time.
extern unsigned char copyblock[WADBLOCKSIZE];

// The program's own writes through the stream reach the file.
void flushstream(const char *op);
// Up to len bytes at `at`: how many, less only at the file's end, or -1.
int64_t tryread(void *buf, size_t len, int64_t at);
// A read of len bytes that gave `got`, told as a failure.
[[noreturn]] void readfailed(int64_t got, size_t len, const char *op);
void readat(void *buf, size_t len, int64_t at, const char *op);
// All len bytes at `at`: true, or false with errno set.
bool trywrite(const void *buf, size_t len, int64_t at);
void writeat(const void *buf, size_t len, int64_t at, const char *op);
// What was written made durable: true, or false with errno set.
bool trysync();
void syncfile(const char *op);
// The status of the archive's descriptor fd.
os_filestat statfile(int fd, const char *op);
// The archive's length in bytes.
int64_t filelength(const char *op);
// The stream's position at the file's end, where it is left.
int64_t seektoend(const char *op);

// ---------------------------------------------------------------------------
// wadfile.cpp

// The header and directory on disk, as readwad loaded them or a change last
// wrote them, and the file they belong to (`identified` is false for a
// stream with no descriptor, which has no identity). A change starts from
// them, checks that the disk still holds them, and its undo puts them back.
// `lockrecord` is the number of the program's lock record through the
// stream when they were read or written (0: none): while that lock is
// held, the disk can hold nothing else.
struct wadrecord {
    bool identified;
    os_fileid id;
    uint64_t lockrecord;
    int wad;
    int32_t count, offset;
    wadentry_t dir[MAXWADENTRIES];
};
extern wadrecord ondisk;

// Whether a directory is on record: readwad loaded one (or a change wrote
// it) since the last refusal and the last fatal error.
bool directoryloaded();
// Whether lookups may search the table: no refusal or fatal error since it
// was last loaded, or since start, when the program may fill it by hand.
bool tablesearchable();
// Whether the open stream is the file whose directory is on record; `st`
// receives its status (all zero for a stream with no descriptor).
bool loadedhere(const char *op, os_filestat *st);
// Record the shared header and directory as the ones on disk, in the file
// `id` now open (`identified`), or in a stream with no descriptor, under
// the program's lock record `lockrecord` (0: none).
void recordondisk(bool identified, const os_fileid &id, uint64_t lockrecord);
// A header's 12 bytes as the file holds them.
void fileheader(int type, int32_t count, int32_t offset, unsigned char *header);
// `count` records in the host's byte order, from the file's, in place; and
// in the file's, as the table itself or a converted copy.
void fromfile(wadentry_t *dir, int32_t count);
const wadentry_t *tofile(const wadentry_t *dir, int32_t count);

// ---------------------------------------------------------------------------
// names.cpp

// Names compare case-sensitively over at most eight characters.
bool namematches(const wadentry_t &entry, const char *name);

// ---------------------------------------------------------------------------
// lock.cpp

// Take the lock through fd, of file `id`, waiting for it or not: 0 when fd
// holds it now (`took`: it was taken here; `since`: the number of the
// program's record of it, when the system says fd held it already, else
// 0), 1 when another program holds it and `wait` is false, or -1 with
// errno set: EDEADLK when this process holds it through another open file,
// EBUSY when fd holds a shared one.
int takelock(int fd, const os_fileid &id, bool wait, bool *took, uint64_t *since);
// The number of this process's record of a wadlock through fd on file `id`,
// as it stands (0: none). Each record has its own.
uint64_t lockrecord(int fd, const os_fileid &id);
// Release a lock taken with takelock, unless the program took it with
// wadlock meanwhile.
void releaselock(int fd, const os_fileid &id);

// ---------------------------------------------------------------------------
// change.cpp: the steps of a change, in order; see the top of change.cpp.

// Begin a change: returns the file's status. A change in place (`inplace`)
// needs a file and starts from the directory on record, unchanged in memory.
os_filestat beginchange(const char *op, bool inplace);
void extendwad(int64_t length);
void parkwad(const wadentry_t *dir, int32_t count, int type, int64_t at, const char *op);
void keepparked();
void commitwad(const char *op);
int cutwad(int64_t length);
void endchange();
// Whether a change is under way.
bool changeunderway();
// The change's descriptor: -1 for a stream with no descriptor.
int changefd();
// Where an interruption is acted on: between the change's durable steps.
void interruptionpoint(const char *op);
// The bytes the change will write in blocks from now on, for the program's
// progress; and `len` more of them written.
void willwrite(int64_t total);
void wrote(int64_t len);
// Copy len bytes of the archive from `from` to `to`, a block at a time from
// the front, with an interruption point after each.
void copywithin(int64_t from, int64_t to, int64_t len, const char *op);
// Stop unless the change's stream and table are as it began them.
void needstream(const char *op);
// Stop unless an archive of `length` bytes can still be pointed into.
void needoffsets(int64_t length, const char *how, const char *op);

#endif
