// SPDX-License-Identifier: MIT
// lumpgraft: store a file's bytes as the data of a level's marker entry in a
// WAD archive, editing the archive in place.
//
//   lumpgraft wadfile levelfile [levelname]
//
// Without levelname the receiving entry is the one just before the first
// "THINGS" entry, i.e. the first level's marker.

#include "platform.h"
#include "waddir.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

static const char *wadfile_name;
static const char *graftfile_name;
static const char *graftfile_levelname;
static int32_t graftfile_len;
static const unsigned char *graftfile_data; // mapped, or on the heap
static bool graftfile_mapped;               // how graftfile_data is held
static os_filestat graftfile_stat;          // the level file's status
static int level_entry;

// FileLength: size of the open descriptor's file, whose status it keeps in
// graftfile_stat. Only a regular file below 2 GiB can be stored, as lump
// sizes and offsets are signed 32-bit.
static int32_t FileLength(int handle)
{
    if (os_fstat(handle, &graftfile_stat) == -1)
        errorexit("Error fstating");
    if (!graftfile_stat.regular)
        errorexit("%s: not a regular file\n", graftfile_name);
    if (graftfile_stat.size > INT32_MAX)
        errorexit("%s: %lld bytes; a lump must be smaller than 2 GiB\n",
                  graftfile_name, static_cast<long long>(graftfile_stat.size));
    return static_cast<int32_t>(graftfile_stat.size);
}

// Read the level file into a heap buffer, for files that cannot be mapped.
// A read may return less than asked, so it loops; a file that ends early
// (it shrank, or reports a size it does not have) is an error.
static void load_graftfile(int handle, size_t len)
{
    auto *buf = static_cast<unsigned char *>(malloc(len));
    if (!buf)
        errorexit("%s: cannot allocate %zu bytes\n", graftfile_name, len);
    graftfile_data = buf;
    size_t got = 0;
    while (got < len) {
        const int64_t n = os_read(handle, buf + got, len - got);
        if (n < 0)
            errorexit("%s: read failed: %s\n", graftfile_name, strerror(errno));
        if (n == 0)
            errorexit("%s: file ended after %zu of %zu bytes\n",
                      graftfile_name, got, len);
        got += static_cast<size_t>(n);
    }
}

// read_graftfile: make the whole level file readable at graftfile_data. This
// runs before the archive is opened, so a bad level file leaves it untouched.
//
// The file is mapped where it can be: its bytes then go from the page cache
// straight into the archive, with one copy instead of two and no heap buffer.
static void read_graftfile()
{
    // An open that fails leaves handle at -1; FileLength then reports it.
    const int handle = os_openread(graftfile_name);
    graftfile_len = FileLength(handle);

    const size_t len = static_cast<size_t>(graftfile_len);
    if (len > 0) {
        graftfile_data = static_cast<const unsigned char *>(os_map(handle, len));
        graftfile_mapped = graftfile_data != nullptr;
        if (!graftfile_mapped)
            load_graftfile(handle, len);
    }

    // A file cut short while it was being mapped would yield a lump that is
    // not its content.
    os_filestat now;
    if (os_fstat(handle, &now) != 0 || now.size != graftfile_stat.size)
        errorexit("%s: file changed size while being read\n", graftfile_name);
    if (os_close(handle) != 0)
        errorexit("%s: close failed: %s\n", graftfile_name, strerror(errno));

    printf("%s loaded: %i bytes\n", graftfile_name, graftfile_len);
}

// When the level file is the archive itself (the same path or a hard link),
// the writes would change the mapped bytes while they are being copied: take
// a private copy of them first.
static void unshare_graftfile()
{
    os_filestat archive;
    if (os_fstat(fileno(wadfp), &archive) != 0)
        errorexit("%s: cannot read file status: %s\n", wadfile_name,
                  strerror(errno));
    if (!graftfile_mapped || archive.volume != graftfile_stat.volume ||
        archive.index != graftfile_stat.index)
        return;

    const size_t len = static_cast<size_t>(graftfile_len);
    auto *copy = static_cast<unsigned char *>(malloc(len));
    if (!copy)
        errorexit("%s: cannot allocate %zu bytes\n", graftfile_name, len);
    memcpy(copy, graftfile_data, len);
    os_unmap(graftfile_data, len);
    graftfile_data = copy;
    graftfile_mapped = false;
}

// Release the level file's bytes.
static void free_graftfile()
{
    if (graftfile_mapped)
        os_unmap(graftfile_data, static_cast<size_t>(graftfile_len));
    else
        free(const_cast<unsigned char *>(graftfile_data));
    graftfile_data = nullptr;
    graftfile_mapped = false;
}

// open_wadfile: open and lock the archive, load its directory and choose the
// receiving entry in level_entry.
static void open_wadfile()
{
    wadfp = os_fopen(wadfile_name, "r+b");
    if (!wadfp)
        errorexit("%s: cannot open for update: %s\n", wadfile_name,
                  strerror(errno));
    wadname = wadfile_name;

    // Unbuffered, every read, write and seek on the archive is one system
    // call whose result is checked. A buffer would hide some: glibc seeks
    // within its buffer and then re-positions the descriptor, ignoring a
    // failure of that call. The run makes only a handful of large reads and
    // writes, so nothing is lost by it.
    if (setvbuf(wadfp, nullptr, _IONBF, 0) != 0)
        errorexit("%s: cannot set up the stream\n", wadfile_name);

    // Runs on the same archive take turns: each reads the directory the
    // previous one left.
    if (os_lock(fileno(wadfp)) != 0)
        errorexit("%s: cannot lock: %s\n", wadfile_name, strerror(errno));

    unshare_graftfile();

    const int refused = readwad();
    printf("%s: %i entries at %i\n", wadfile_name, numentries, diroffset);

    // A refused archive has no directory loaded: nothing can be found in it,
    // and it is never written.
    level_entry = refused ? -1 : entry_exist(graftfile_levelname);
    if (level_entry == -1)
        errorexit("level not found!\n");

    if (strncmp(graftfile_levelname, "THINGS", 8) == 0) {
        if (level_entry == 0)
            errorexit("level not found! The first THINGS entry is the "
                      "directory's first entry: no marker stands before it.\n");
        level_entry--;
    }
    printf("level: %s\n", convert_string8(wadentry[level_entry]));
}

// Cut the archive back to `length` bytes, durably.
static void truncate_wadfile(int64_t length)
{
    if (fflush(wadfp) != 0 || os_truncate(fileno(wadfp), length) != 0)
        errorexit("%s: cannot truncate to %lld bytes: %s\n", wadfile_name,
                  static_cast<long long>(length), strerror(errno));
    if (os_sync(fileno(wadfp)) != 0)
        errorexit("%s: sync failed: %s\n", wadfile_name, strerror(errno));
}

// write_graft: store the level file's bytes and move the directory past them.
//
// The bytes go where the old directory stood when nothing follows it, so the
// archive grows by exactly their length; otherwise they go at the end of the
// file, so that no byte that follows the directory is lost.
//
// At every instant the header points at a complete directory. Before the old
// directory is overwritten, a copy of it is parked past the final end of the
// file and the header is pointed at the copy; then the bytes and the new
// directory are written and the header is pointed at the new directory; last,
// the parked copy is cut off. writewad makes each directory durable before
// the header that points at it.
static void write_graft()
{
    os_filestat st;
    if (fflush(wadfp) != 0 || os_fstat(fileno(wadfp), &st) != 0)
        errorexit("%s: cannot read file status: %s\n", wadfile_name,
                  strerror(errno));

    const int64_t olddir = diroffset;
    const int64_t dirbytes = int64_t{numentries} * WADENTRYSIZE;
    const bool dirislast = olddir + dirbytes == st.size;
    const int64_t place = dirislast ? olddir : st.size;
    const int64_t newdir = place + graftfile_len;
    const int64_t newend = newdir + dirbytes;
    const int64_t parked = newend;
    const int64_t highest = dirislast ? parked + dirbytes : newend;
    if (highest > INT32_MAX)
        errorexit("%s: the archive would reach %lld bytes; WAD offsets stop "
                  "at 2 GiB\n",
                  wadfile_name, static_cast<long long>(highest));

    if (dirislast) {
        diroffset = static_cast<int32_t>(parked);
        writewad();
    }

    if (os_seek(wadfp, place, SEEK_SET) != 0)
        errorexit("%s: cannot seek to %lld: %s\n", wadfile_name,
                  static_cast<long long>(place), strerror(errno));
    if (graftfile_len > 0 &&
        fwrite(graftfile_data, static_cast<size_t>(graftfile_len), 1, wadfp) != 1)
        errorexit("%s: write failed: %s\n", wadfile_name, strerror(errno));

    wadentry[level_entry].filepos = static_cast<int32_t>(place);
    wadentry[level_entry].size = graftfile_len;
    diroffset = static_cast<int32_t>(newdir);
    writewad();

    if (dirislast)
        truncate_wadfile(newend);
}

// lumpgraft: the whole insertion run.
static void lumpgraft()
{
    read_graftfile();
    open_wadfile();
    write_graft();

    // Closing also drops the lock. The success line waits for a clean close.
    if (fclose(wadfp) != 0)
        errorexit("%s: close failed: %s\n", wadfile_name, strerror(errno));
    wadfp = nullptr;
    free_graftfile();

    printf("%s added to %s ok\n", graftfile_name, wadfile_name);
}

// The usage error's status. On POSIX, exit(-1) reads as 255 anyway; Windows
// keeps all 32 bits, and there -1 would pass a batch file's "if errorlevel 1"
// test as success. 255 reads the same everywhere.
constexpr int usage_status = 255;

int main(int argc, char **argv)
{
    os_startup(&argc, &argv);
    printf("lumpgraft " LUMPGRAFT_VERSION
           ": stores a file as the data of a WAD level's marker entry\n"
           "https://lumpgraft.example/\n"
           "Safe in-place writing by the lumpgraft developers\n");
    if (argc <= 2) {
        printf("\nUsage:\n");
        printf("lumpgraft wadfile levelfile [levelname]\n");
        return usage_status;
    }

    wadfile_name = argv[1];
    graftfile_name = argv[2];
    graftfile_levelname = argc > 3 ? argv[3] : "THINGS";

    lumpgraft();
    return 0;
}
