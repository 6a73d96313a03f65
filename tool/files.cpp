// SPDX-License-Identifier: MIT
// files: the level file, from its opening to the last block stored (read
// into memory when it is small, else read a block at a time as the library
// stores it, and checked that it did not change meanwhile), and the
// identity of files, which tells the archive's own bytes and output sent
// into it.

#include "lumpgraft.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int32_t graftfile_len;
unsigned char *graftfile_data;        // the file's bytes, when held in memory
static int graftfile_handle = -1;     // the level file, open until stored
static int graftfile_openerror;       // why it could not be opened
static os_filestat graftfile_stat;    // its status when it was opened

// Lump sizes and offsets are signed 32-bit: a lump is smaller than 2 GiB.
static void check_graftsize(int64_t bytes)
{
    if (bytes > INT32_MAX)
        errorexit("%s: %lld bytes; a lump must be smaller than 2 GiB\n", graftfile_name,
                  static_cast<long long>(bytes));
}

// FileLength: size of the open descriptor's file, whose status it keeps in
// graftfile_stat. Only a regular file below 2 GiB can be stored. A file
// that could not be opened is told with the reason the open gave.
static int32_t FileLength(int handle)
{
    if (os_fstat(handle, &graftfile_stat) == -1)
        errorexit("Error fstating\n%s: cannot read the level file: %s\n", graftfile_name,
                  os_strerror(handle < 0 ? graftfile_openerror : errno));
    if (!graftfile_stat.regular)
        errorexit("%s: not a regular file\n", graftfile_name);
    check_graftsize(graftfile_stat.size);
    return static_cast<int32_t>(graftfile_stat.size);
}

// One read of the level file: how many bytes it gave, 0 at the file's end.
static size_t read_graftonce(unsigned char *buf, size_t len)
{
    const int64_t n = os_read(graftfile_handle, buf, len);
    if (n < 0)
        errorexit("%s: read failed: %s\n", graftfile_name, os_strerror(errno));
    return static_cast<size_t>(n);
}

// Read exactly len bytes of the level file into buf, `at` bytes into it. A
// read may return less than asked, so it loops; a file that ends early (it
// shrank, or reports a size it does not have) is an error.
static void read_graftbytes(unsigned char *buf, size_t len, size_t at)
{
    for (size_t got = 0; got < len;) {
        const size_t n = read_graftonce(buf + got, len - got);
        if (n == 0)
            errorexit("%s: file ended after %zu of %zu bytes\n", graftfile_name,
                      at + got, static_cast<size_t>(graftfile_len));
        got += n;
    }
}

// A file that reports no size may hold bytes all the same (the pseudo-files
// of /proc, for one): it is read to its end, so that what is stored is what
// the file holds.
static void read_graftfile_to_end()
{
    size_t len = 0, room = 0;
    for (;;) {
        if (len == room) {
            room = room ? 2 * room : size_t{1} << 16;
            void *bigger = realloc(graftfile_data, room);
            if (!bigger)
                errorexit("%s: cannot allocate %zu bytes\n", graftfile_name, room);
            graftfile_data = static_cast<unsigned char *>(bigger);
        }
        const size_t n = read_graftonce(graftfile_data + len, room - len);
        if (n == 0)
            break;
        len += n;
        check_graftsize(static_cast<int64_t>(len));
    }
    graftfile_len = static_cast<int32_t>(len);
}

// Read the whole level file into memory.
static void load_graftfile()
{
    const size_t len = static_cast<size_t>(graftfile_len);
    graftfile_data = static_cast<unsigned char *>(malloc(len));
    if (!graftfile_data)
        errorexit("%s: cannot allocate %zu bytes\n", graftfile_name, len);
    read_graftbytes(graftfile_data, len, 0);
}

// read_graftfile: open the level file, take its length and, unless it is
// larger than the blocks it is stored in, its bytes. This runs before the
// archive is opened, so a bad level file leaves it untouched.
//
// A large file is read only when it is stored, straight into the archive a
// block at a time, so that no copy of it is held; graftfile_source checks
// that it did not change meanwhile.
void read_graftfile()
{
    // An open that fails leaves the handle at -1; FileLength then reports it.
    graftfile_handle = os_openread(graftfile_name);
    graftfile_openerror = errno;
    graftfile_len = FileLength(graftfile_handle);
    if (graftfile_len == 0)
        read_graftfile_to_end();
    else if (graftfile_len <= WADBLOCKSIZE)
        load_graftfile();
    printf("%s loaded: %i bytes\n", graftfile_name, graftfile_len);
}

static void close_graftfile()
{
    if (os_close(graftfile_handle) != 0)
        errorexit("%s: close failed: %s\n", graftfile_name, os_strerror(errno));
    graftfile_handle = -1;
}

// The status of the file `path` names now, through a descriptor of its own.
bool statpath(const char *path, os_filestat *st)
{
    const int handle = os_openread(path);
    const bool known = handle >= 0 && os_fstat(handle, st) == 0;
    if (handle >= 0)
        os_close(handle); // read-only, and only looked at
    return known;
}

bool samefile(const os_filestat &a, const os_filestat &b)
{
    return os_sameid(a.id, b.id);
}

// Stop unless the level file is as it was when opened: its bytes are stored
// as they were at one moment, or not at all.
static void check_graftfile()
{
    os_filestat now;
    if (os_fstat(graftfile_handle, &now) != 0)
        errorexit("%s: cannot read file status: %s\n", graftfile_name, os_strerror(errno));
    if (now.size != graftfile_stat.size || now.changed != graftfile_stat.changed)
        errorexit("%s: file changed while being read\n", graftfile_name);
}

// Once the archive is locked, and before anything is written: the level file
// must not have changed while the run waited. When it is the archive itself
// (the same path or a hard link), the run is about to overwrite the bytes it
// stores, so they are read into memory first, however large.
void hold_graftfile()
{
    check_graftfile();
    if (!graftfile_data && samefile(wadfile_stat, graftfile_stat))
        load_graftfile();
    if (graftfile_data)
        close_graftfile();
}

// The level file's bytes from `at` on, as the library stores them: from
// memory when they are held there, else read from the file a block at a
// time. A block that cannot be read is the level file's fault, and is told
// as such. After the last block, the file must not have changed while it
// was read: bytes read while it was being written are no moment's content.
const void *graftfile_source(size_t at, size_t len, void *)
{
    if (graftfile_data)
        return graftfile_data + at;
    static unsigned char block[WADBLOCKSIZE];
    read_graftbytes(block, len, at);
    if (at + len == static_cast<size_t>(graftfile_len)) {
        check_graftfile();
        close_graftfile();
    }
    return block;
}

// Whether the level file is a WAD archive itself.
bool graftfile_isawad()
{
    unsigned char magic[4];
    if (graftfile_len < 4 || (!graftfile_data && os_pread(graftfile_handle, magic, 4, 0) != 4))
        return false;
    if (graftfile_data)
        memcpy(magic, graftfile_data, 4);
    return memcmp(magic, "IWAD", 4) == 0 || memcmp(magic, "PWAD", 4) == 0;
}
