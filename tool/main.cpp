// SPDX-License-Identifier: MIT
// lumpgraft: store a file's bytes as the data of a level's marker entry in a
// WAD archive, editing the archive in place.
//
//   lumpgraft wadfile levelfile [levelname]
//   lumpgraft --compact wadfile
//   lumpgraft --list wadfile
//   lumpgraft --extract wadfile [levelname [outfile]]
//
// Without levelname the receiving entry is the one just before the first
// "THINGS" entry, i.e. the first level's marker.

#include "lumpgraft.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

const char *wadfile_name;
const char *graftfile_name;
const char *graftfile_levelname;
os_filestat wadfile_stat;
static int level_entry;

// Output sent into the archive itself (lumpgraft game.wad s.txt >>game.wad)
// would land in it. The run stops before anything reaches either; this is
// looked at before the banner, which would otherwise be the first to land.
static void refuse_output_into_archive(const char *path)
{
    os_filestat archive, out, err;
    const bool outisfile = os_fstat(1, &out) == 0 && out.regular;
    const bool errisfile = os_fstat(2, &err) == 0 && err.regular;
    if ((!outisfile && !errisfile) || !statpath(path, &archive))
        return;
    const bool toerr = errisfile && samefile(err, archive);
    if (!toerr && !(outisfile && samefile(out, archive)))
        return;
    // The shell empties a file it sends output to before the run starts.
    if (!toerr && archive.size == 0)
        fprintf(stderr, "%s: standard output is the archive itself, which the shell emptied "
                        "before lumpgraft started; only a backup restores it\n", path);
    else if (!toerr)
        fprintf(stderr, "%s: standard output is the archive itself; nothing done\n", path);
    os_exit(255);
}

// Open the archive, for update ("r+b") or to read it ("rb"), and wait for
// its lock, saying so when another program holds it; every run opens it
// alike.
static void open_and_lock_wadfile(const char *mode)
{
    wadfp = os_fopen(wadfile_name, mode);
    if (!wadfp && mode[1] == '+')
        errorexit("%s: cannot open for update: %s\n", wadfile_name, os_strerror(errno));
    if (!wadfp)
        errorexit("%s: cannot open: %s\n", wadfile_name, os_strerror(errno));
    wadname = wadfile_name;

    // A device or a FIFO is no archive: it has no length that writes could
    // extend or cut, and its bytes may be anyone's.
    if (os_fstat(fileno(wadfp), &wadfile_stat) != 0)
        errorexit("%s: cannot read file status: %s\n", wadfile_name,
                  os_strerror(errno));
    if (!wadfile_stat.regular)
        errorexit("%s: not a regular file\n", wadfile_name);

    // Runs on the same archive take turns, and with other programs that
    // change it through the library: each reads the directory the previous
    // one left.
    int locked = wadtrylock();
    if (locked == 1) {
        fprintf(stderr, "%s: waiting for another program to finish with it\n", wadfile_name);
        locked = wadlock();
    }
    if (locked != 0)
        errorexit("%s: cannot lock: %s\n", wadfile_name, os_strerror(errno));
}

// An editor that saves by renaming a new file over the archive may do so
// while the run waits for the lock, which then holds a file that is no
// longer the archive: the run opens the archive again until the lock it
// holds is on the file the path names.
static void lock_wadfile(const char *mode)
{
    for (int tries = 1;; tries++) {
        open_and_lock_wadfile(mode);
        os_filestat now;
        if (statpath(wadfile_name, &now) && samefile(now, wadfile_stat))
            return;
        os_fclose(wadfp); // never written: nothing to lose
        wadfp = nullptr;
        if (tries == 100)
            errorexit("%s: replaced again and again while waiting for its lock\n",
                      wadfile_name);
    }
}

// Load the archive's directory and say what its header holds; 1 when
// readwad refused it.
static int read_wadfile()
{
    const int refused = readwad();
    printf("%s: %i entries at %i\n", wadfile_name, numentries, diroffset);
    return refused;
}

// From here the user's interruption (Ctrl-C) ends the run as a failure
// does, the archive put back, and by the same signal. Until the lock is
// held nothing has been written, and it ends the run at once.
static void catch_interrupts()
{
    os_catchinterrupts(wadinterrupt);
}

// Long work says how far it has come, on a terminal only, at most ten times
// a second: a graft or a compaction that writes more than 64 MiB. Scripts
// and logs see none of it.
static void show_progress(int64_t done, int64_t total, void *)
{
    static int64_t last;
    const int64_t now = os_milliseconds();
    if (total <= int64_t{64} << 20 || (done < total && now - last < 100))
        return;
    last = now;
    fputc('\r', stderr); // over the line before
    fprintf(stderr, "%s: %lld of %lld MiB written", wadfile_name,
            static_cast<long long>(done >> 20), static_cast<long long>(total >> 20));
    if (done == total)
        fputc('\n', stderr);
}

static void show_progress_on_a_terminal()
{
    if (os_isterminal(2))
        wadonprogress(show_progress, nullptr);
}

// A level marker: followed by a level's THINGS, or by a UDMF map's TEXTMAP.
static bool islevelmarker(int n)
{
    return islevel(n) ||
           (n + 1 < numentries && strncmp(wadentry[n + 1].name, "TEXTMAP", 8) == 0);
}

// "level not found!", then the name asked for, the archive and what to do:
// the arguments in their order, a name in upper case (Doom's names are),
// or a look at the list of levels.
[[noreturn]] static void level_not_found(int refused)
{
    static const char notfound[] = "level not found!\n";
    const char *name = graftfile_levelname;
    if (refused && graftfile_name && graftfile_isawad())
        errorexit("%s%s is a WAD archive and %s is not: the arguments look swapped; the archive "
                  "comes first: lumpgraft wadfile levelfile [levelname]\n",
                  notfound, graftfile_name, wadfile_name);
    if (refused)
        errorexit("%s%s is no archive lumpgraft can read (see the line above)\n", notfound,
                  wadfile_name);
    if (strncmp(name, "THINGS", 8) == 0)
        errorexit("%sNo entry of %s is followed by THINGS (a UDMF map's is not: name its "
                  "level); lumpgraft --list %s lists its levels\n",
                  notfound, wadfile_name, wadfile_name);
    char upper[9] = {};
    for (int i = 0; i < 8 && name[i]; i++)
        upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
    if (strncmp(upper, name, 8) != 0 && entry_exist(upper) >= 0)
        errorexit("%s%s has no entry named %s (names are upper case: did you mean %s?); "
                  "lumpgraft --list %s lists its levels\n",
                  notfound, wadfile_name, name, upper, wadfile_name);
    errorexit("%s%s has no entry named %s; lumpgraft --list %s lists its levels\n", notfound,
              wadfile_name, name, wadfile_name);
}

// The entry that graftfile_levelname names in the loaded directory, as a
// graft picks it: the first of that name or, for "THINGS", the marker
// before the first THINGS entry. A refused archive has no directory
// loaded: nothing can be found in it.
static void choose_entry(int refused)
{
    level_entry = refused ? -1 : entry_exist(graftfile_levelname);
    if (level_entry == -1)
        level_not_found(refused);

    if (strncmp(graftfile_levelname, "THINGS", 8) == 0) {
        if (level_entry == 0)
            errorexit("level not found! The first THINGS entry is the "
                      "directory's first entry: no marker stands before it.\n");
        level_entry--;
    }
}

// open_wadfile: open and lock the archive, load its directory and choose the
// receiving entry in level_entry.
static void open_wadfile()
{
    lock_wadfile("r+b");
    catch_interrupts();
    hold_graftfile();
    choose_entry(read_wadfile());
    const printname_t name = printable_string8(wadentry[level_entry]);
    printf("level: %s\n", name.text);
    // Any entry may be named; one that is no marker loses its own data.
    if (!islevelmarker(level_entry))
        fprintf(stderr, "%s: warning: %s is not a level marker (no THINGS or TEXTMAP follows "
                        "it): its data is replaced\n", wadfile_name, name.text);
}

// Store the level file's bytes as the data of level_entry. Once the new
// header is durable the graft has taken effect, so a failure to cut off the
// parked copy of the directory that follows is a warning.
static void write_graft()
{
    const long long dirbytes = int64_t{numentries} * WADENTRYSIZE;
    const int cut = wadreplacefrom(level_entry, graftfile_len, graftfile_source, nullptr);
    if (cut != 0)
        fprintf(stderr,
                "%s: warning: the graft is done, but the %lld bytes past its directory %s: %s. "
                "lumpgraft --compact reclaims them.\n",
                wadfile_name, dirbytes,
                cut == WADCUTFAILED ? "could not be cut off" : "may come back after a crash",
                os_strerror(errno));
}

// Close the archive, which drops the lock. All the run did is durable by
// now, so a failure here is a warning.
static void close_wadfile()
{
    if (os_fclose(wadfp) != 0)
        fprintf(stderr, "%s: warning: the run is done and durable, but closing the archive "
                        "failed: %s\n",
                wadfile_name, os_strerror(errno));
    wadfp = nullptr;
}

// lumpgraft: the whole insertion run.
static void lumpgraft()
{
    read_graftfile();
    show_progress_on_a_terminal();
    open_wadfile();
    write_graft();

    close_wadfile();
    free(graftfile_data);
    graftfile_data = nullptr;

    printf("%s added to %s ok\n", graftfile_name, wadfile_name);
}

// compact_wadfile: the whole compaction run, under the lock a graft takes.
static void compact_wadfile()
{
    show_progress_on_a_terminal();
    lock_wadfile("r+b");
    catch_interrupts();
    if (read_wadfile())
        errorexit("%s: refused, nothing compacted\n", wadfile_name);
    const int64_t reclaimed = compactwad();
    close_wadfile();
    printf("%s compacted: %lld bytes reclaimed\n", wadfile_name,
           static_cast<long long>(reclaimed));
}

// What --list and --extract print is what they are for: a failure to write
// it is fatal. `written` says whether the last write was whole.
static void need_output_written(bool written = true)
{
    if (!written || fflush(stdout) != 0 || ferror(stdout))
        errorexit("standard output: write failed: %s\n", os_strerror(errno));
}

// list_wadfile: each level marker's name, the size of its data and its
// offset, one line each, for people and scripts. The archive is only read,
// under the lock, so that no change is seen half done; the lines are
// written once it is released, so that a slow reader holds up no change.
static void list_wadfile()
{
    lock_wadfile("rb");
    if (readwad())
        errorexit("%s: refused, nothing listed\n", wadfile_name);
    close_wadfile();
    for (int i = 0; i < numentries; i++) {
        if (islevelmarker(i))
            printf("%s %i %i\n", printable_string8(wadentry[i]).text, wadentry[i].size,
                   wadentry[i].filepos);
    }
    need_output_written();
}

// The `size` bytes at `data` as the file `path`, which they replace only
// once they are whole and durable: they are written beside it first, then
// put in its place in one step. The archive itself, by any name, is left
// alone.
static void write_extracted(const char *path, const unsigned char *data, size_t size)
{
    os_filestat target;
    if (statpath(path, &target) && samefile(target, wadfile_stat))
        errorexit("%s: the output is the archive itself; nothing done\n", path);
    char temp[4096];
    snprintf(temp, sizeof temp, "%s.lumpgraft-%lld", path, static_cast<long long>(os_pid()));
    const int fd = os_createnew(temp);
    if (fd < 0)
        errorexit("%s: cannot create: %s\n", temp, os_strerror(errno));
    const bool written = os_pwrite(fd, data, size, 0) == 0 && os_sync(fd) == 0;
    const int reason = errno;
    if (os_close(fd) != 0 || !written || os_replace(temp, path) != 0) {
        const char *why = os_strerror(written ? errno : reason);
        os_remove(temp);
        errorexit("%s: write failed: %s; it is as it was\n", path, why);
    }
}

// extract_wadfile: the data of the entry a graft into graftfile_levelname
// would receive, byte for byte, to `path` or on standard output, read under
// the lock and written once it is released.
static void extract_wadfile(const char *path)
{
    lock_wadfile("rb");
    if (readwad())
        errorexit("%s: refused, nothing extracted\n", wadfile_name);
    choose_entry(0);
    unsigned char *data = cachelump(level_entry);
    close_wadfile();
    const size_t size = static_cast<size_t>(wadentry[level_entry].size);
    if (path)
        write_extracted(path, data, size);
    else
        need_output_written(fwrite(data, 1, size, stdout) == size);
    free(data);
}

// The exit status tells what happened to the archive. A standard output that
// could not be written (a closed pipe, a full disk) does not change it, but
// is told on standard error.
static void finish_output()
{
    if (fflush(stdout) != 0)
        fprintf(stderr, "standard output: write failed: %s\n", os_strerror(errno));
    else if (ferror(stdout))
        fprintf(stderr, "standard output: write failed\n");
}

// The usage error's status. On POSIX, exit(-1) reads as 255 anyway; Windows
// keeps all 32 bits, and there -1 would pass a batch file's "if errorlevel 1"
// test as success. 255 reads the same everywhere.
constexpr int usage_status = 255;

int main(int argc, char **argv)
{
    const int closed = os_startup(&argc, &argv);
    // "lumpgraft --compact wadfile" reclaims what grafts left behind,
    // "--list wadfile" shows the levels and "--extract wadfile [levelname]"
    // a level's data; an archive named like an option is reached as
    // ./--compact.
    const char *option = argc > 1 ? argv[1] : "";
    const bool compacting = strcmp(option, "--compact") == 0;
    const bool listing = strcmp(option, "--list") == 0;
    const bool extracting = strcmp(option, "--extract") == 0;
    const bool usage = argc <= 2 || ((compacting || listing) && argc != 3) ||
                       (extracting && argc > 5);
    if (!usage)
        refuse_output_into_archive(argv[compacting || listing || extracting ? 2 : 1]);

    // What --list and --extract print is for scripts: the banner goes to
    // standard error.
    fprintf(!usage && (listing || extracting) ? stderr : stdout,
            "lumpgraft " LUMPGRAFT_VERSION
            ": stores a file as the data of a WAD level's marker entry\n"
            "https://lumpgraft.example/\n"
            "Safe in-place writing by the lumpgraft developers\n");
    if (usage) {
        printf("\nUsage:\n");
        printf("lumpgraft wadfile levelfile [levelname]\n");
        printf("lumpgraft --list wadfile\n");
        printf("lumpgraft --extract wadfile [levelname [outfile]]\n");
        printf("lumpgraft --compact wadfile\n");
        finish_output();
        return usage_status;
    }
    if (listing || extracting) {
        // Their output is what they are for: none can be written to a
        // closed standard output, and the library's own lines (a refusal)
        // go with the other messages, not into it.
        if (closed & 1 << 1 && !(extracting && argc > 4)) {
            errno = EBADF;
            need_output_written(false);
        }
        wadmsgfp = stderr;
    }
    if (compacting || listing || extracting) {
        wadfile_name = argv[2];
        graftfile_levelname = argc > 3 ? argv[3] : "THINGS";
        if (compacting)
            compact_wadfile();
        else if (listing)
            list_wadfile();
        else
            extract_wadfile(argc > 4 ? argv[4] : nullptr);
        finish_output();
        return 0;
    }

    wadfile_name = argv[1];
    graftfile_name = argv[2];
    graftfile_levelname = argc > 3 ? argv[3] : "THINGS";
    lumpgraft();
    finish_output();
    return 0;
}
