/* SPDX-License-Identifier: MIT
 * Lists the level markers of an archive, through the installed library: each
 * marker's name, its own data size and its level's size. Given a level and a
 * text, it first stores the text as that marker's data, safely in place. It
 * also edits the directory, and stores a text in the first level of several
 * archives in turn, going on past one that fails. Its signal handlers pass
 * interruptions on to the library. It is C99, and compiles as C++ too.
 *   listlevels wadfile [level text]
 *   listlevels wadfile --rename old new | --remove name | --dropinto name | --add name
 *   listlevels wadfile --addlumps name name
 *   listlevels --batch log text wadfile...
 */
#define _POSIX_C_SOURCE 200809L
#include <waddir.h>

#include <setjmp.h>
#include <signal.h>
#include <string.h>

static void open_archive(const char *path, const char *mode)
{
    wadfp = fopen(path, mode);
    if (!wadfp)
        errorexit("%s: cannot open\n", path);
    wadname = path;
}

/* Interruptions end the change under way as a failure does, undone; one
 * ignored when the program started stays ignored. */
static void onsignal(int sig)
{
    wadinterrupt(sig);
}

static void catch_interrupts(void)
{
    const int signals[] = {SIGINT, SIGTERM,
#ifdef SIGUSR1
                           SIGUSR1,
#endif
    };
    size_t i;
    for (i = 0; i < sizeof signals / sizeof signals[0]; i++) {
        if (signal(signals[i], onsignal) == SIG_IGN)
            signal(signals[i], SIG_IGN);
    }
}

/* Closing is the last step: everything is durable by then. */
static void close_archive(const char *path)
{
    if (fclose(wadfp) != 0)
        fprintf(stderr, "%s: warning: the run is done and durable, but closing the archive "
                        "failed\n",
                path);
    wadfp = NULL;
}

/* A name field: up to eight characters, NUL-padded, none terminated. */
static void setname(char *field, const char *name)
{
    memset(field, 0, 8);
    memcpy(field, name, strnlen(name, 8));
}

/* One edit of the directory, through writewad or addentry. */
static void edit(const char *path, const char *verb, const char *name, const char *newname)
{
    open_archive(path, "r+b");
    /* Bytes written by the program itself need the lock from before the read. */
    if (strcmp(verb, "--addlumps") == 0 && wadlock() != 0)
        errorexit("%s: cannot lock\n", path);
    if (readwad() != 0)
        errorexit("%s: refused\n", path);
    if (strcmp(verb, "--addlumps") == 0) {
        /* --addlumps: two lumps, each holding its own name, written at the
         * end of the file, the directory after them, in one writewad. */
        const char *names[2] = {name, newname};
        long at = fseek(wadfp, 0, SEEK_END) == 0 ? ftell(wadfp) : -1;
        if (at < 0)
            errorexit("%s: cannot find its end\n", path);
        for (int i = 0; i < 2; i++, numentries++) {
            const size_t len = strlen(names[i]);
            wadentry[numentries].filepos = (int32_t)at;
            wadentry[numentries].size = (int32_t)len;
            setname(wadentry[numentries].name, names[i]);
            if (fwrite(names[i], 1, len, wadfp) != len)
                errorexit("%s: write failed\n", path);
            at += (long)len;
        }
        diroffset = (int32_t)at;
        writewad();
    } else if (strcmp(verb, "--add") == 0) {
        wadentry_t entry = {0, 0, {0}};
        setname(entry.name, name);
        addentry(entry);
    } else {
        const int n = entry_exist(name);
        if (n < 0)
            errorexit("%s: no entry %s\n", path, name);
        if (strcmp(verb, "--rename") == 0) {
            setname(wadentry[n].name, newname);
        } else {
            /* --dropinto: the directory goes where the entry's data was. */
            if (strcmp(verb, "--dropinto") == 0)
                diroffset = wadentry[n].filepos;
            memmove(&wadentry[n], &wadentry[n + 1],
                    (size_t)(numentries - n - 1) * sizeof(wadentry_t));
            numentries--;
        }
        writewad();
    }
    close_archive(path);
    printf("done\n");
}

/* The batch: a fatal error in one archive comes back here, the library's
 * change undone and its archive forgotten, and the batch goes on. */
static jmp_buf failed;
static char reason[512];

static void onerror(const char *message, void *context)
{
    (void)context;
    const size_t n = strnlen(message, sizeof reason - 1);
    memcpy(reason, message, n);
    reason[n] = '\0';
    longjmp(failed, 1);
}

static int batch(const char *logpath, const char *text, char **paths, int count)
{
    FILE *log = fopen(logpath, "w");
    int i, failures = 0;
    if (!log)
        errorexit("%s: cannot open\n", logpath);
#ifdef SIGXFSZ
    signal(SIGXFSZ, SIG_IGN); /* a file size limit fails the write instead */
#endif
    wadonerror(onerror, NULL);
    for (i = 0; i < count; i++) {
        if (setjmp(failed) == 0) {
            open_archive(paths[i], "r+b");
            if (readwad() != 0)
                errorexit("%s: refused\n", paths[i]);
            wadreplace(entry_exist("MAP01"), text, (int32_t)strlen(text));
            close_archive(paths[i]);
            fprintf(log, "%s: stored\n", paths[i]);
        } else {
            if (wadfp)
                fclose(wadfp);
            wadfp = NULL;
            fprintf(log, "%s: failed: %s", paths[i], reason);
            failures++;
        }
        fflush(log);
    }
    wadonerror(NULL, NULL);
    return fclose(log) == 0 && failures == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    int i;
    if (argc >= 4 && strcmp(argv[1], "--batch") == 0)
        return batch(argv[2], argv[3], argv + 4, argc - 4);
    if ((argc == 4 || argc == 5) && strncmp(argv[2], "--", 2) == 0) {
        edit(argv[1], argv[2], argv[3], argc == 5 ? argv[4] : "");
        return 0;
    }
    if (argc != 2 && argc != 4)
        errorexit("usage: listlevels wadfile [level text]\n");
    catch_interrupts();
    open_archive(argv[1], argc == 4 ? "r+b" : "rb");
    if (argc == 4 && wadlock() != 0)
        errorexit("%s: cannot lock\n", argv[1]);
    if (readwad() != 0)
        return 1;
    if (argc == 4) {
        const int n = entry_exist(argv[2]);
        if (n < 0)
            errorexit("%s: no level %s\n", argv[1], argv[2]);
        if (wadreplace(n, argv[3], (int32_t)strlen(argv[3])) != 0)
            printf("the old directory is still past the end\n");
    }
    for (i = 0; i < numentries; i++) {
        if (islevel(i))
            printf("%s %i %i\n", convert_string8(wadentry[i]), wadentry[i].size,
                   findlevelsize(convert_string8(wadentry[i])));
    }
    return fclose(wadfp) == 0 ? 0 : 1;
}
