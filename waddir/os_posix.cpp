// SPDX-License-Identifier: MIT
// os.h on POSIX systems: Linux, the BSDs, macOS. Each system call made on a
// file passes through its fault point (faults.h), which a release build
// compiles to the call alone.

#include "os.h"
#include "faults.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

// Repeats a call that a signal interrupted.
template <typename Call> static auto again(Call call)
{
    decltype(call()) r;
    while ((r = call()) == -1 && errno == EINTR) {
    }
    return r;
}

int os_startup(int *, char ***)
{
    // Arguments arrive as the bytes typed, and no stream translates newlines.
    // open returns the lowest free descriptor, so a closed 0, 1 or 2 is
    // filled in order; a process that cannot even do that stops here.
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        closed |= 1 << fd;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) {
            static const char message[] = "lumpgraft: cannot open /dev/null\n";
            if (write(2, message, sizeof message - 1) < 0) {
                // standard error is closed too: nothing more can be said
            }
            _exit(255);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return closed;
}

const char *os_strerror(int err)
{
    return strerror(err);
}

FILE *os_fopen(const char *path, const char *mode)
{
    // open, then a stream over the descriptor: fopen's "e" flag would say
    // O_CLOEXEC too, but not every C library knows it. A device or a FIFO
    // named by mistake must neither make the open wait nor become the
    // process's terminal; on a regular file O_NONBLOCK changes nothing, and
    // it is cleared again all the same.
    const int fd = again([&] {
        return OS_OPEN(path, open(path, (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_CLOEXEC |
                                            O_NOCTTY | O_NONBLOCK));
    });
    if (fd < 0)
        return nullptr;
    const int flags = fcntl(fd, F_GETFL);
    FILE *fp = flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ? nullptr
                                                                              : fdopen(fd, mode);
    if (!fp) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return fp;
}

int os_openread(const char *path)
{
    // O_NONBLOCK lets a FIFO be opened without a writer; reads of a regular
    // file ignore it.
    return again(
        [&] { return OS_OPEN(path, open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)); });
}

int os_opencreate(const char *path)
{
    return again([&] { return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666); });
}

int os_createnew(const char *path)
{
    return again([&] { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
}

int os_replace(const char *from, const char *to)
{
    // The rename is durable once the folder that holds the names is.
    if (rename(from, to) != 0)
        return -1;
    const char *slash = strrchr(to, '/');
    char folder[4096];
    snprintf(folder, sizeof folder, "%.*s", slash ? int(slash - to) + 1 : 1, slash ? to : ".");
    const int fd = again([&] { return open(folder, O_RDONLY | O_CLOEXEC); });
    const int r = fd < 0 || (fsync(fd) != 0 && errno != EINVAL) ? -1 : 0;
    const int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return r;
}

int os_remove(const char *path)
{
    return unlink(path);
}

int os_close(int fd)
{
    return OS_CALL("close", fd, close(fd));
}

int os_fclose(FILE *fp)
{
    return OS_CLOSE(fileno(fp), fclose(fp));
}

int os_flush(FILE *fp)
{
    return OS_CALL("fflush", fileno(fp), fflush(fp));
}

int64_t os_read(int fd, void *buf, size_t len)
{
    return again([&] { return OS_CALL("read", fd, read(fd, buf, len), ", \"\", %zu", len); });
}

int64_t os_pread(int fd, void *buf, size_t len, int64_t offset)
{
    size_t done = 0;
    while (done < len) {
        char *to = static_cast<char *>(buf) + done;
        const int64_t at = offset + int64_t(done);
        const ssize_t n = again([&] {
            return OS_CALL("pread64", fd, pread(fd, to, len - done, static_cast<off_t>(at)),
                           ", \"\", %zu, %lld", len - done, static_cast<long long>(at));
        });
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return int64_t(done);
}

int os_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    for (size_t done = 0; done < len;) {
        const char *from = static_cast<const char *>(buf) + done;
        const int64_t at = offset + int64_t(done);
        size_t ask = len - done;
        const ssize_t n = again([&] {
            return OS_WRITE("pwrite64", fd, pwrite(fd, from, ask, static_cast<off_t>(at)), from,
                            ask, at);
        });
        if (n < 0)
            return -1;
        done += size_t(n);
    }
    return 0;
}

int os_fstat(int fd, os_filestat *st)
{
    struct stat s;
    if (OS_CALL("newfstatat", fd, fstat(fd, &s), ", \"\"") != 0)
        return -1;
    st->size = s.st_size;
    st->regular = S_ISREG(s.st_mode);
    st->id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
#ifdef __APPLE__
    const timespec &changed = s.st_ctimespec;
#else
    const timespec &changed = s.st_ctim;
#endif
    st->changed = uint64_t(changed.tv_sec) * 1000000000u + uint64_t(changed.tv_nsec);
    return 0;
}

int os_seek(FILE *fp, int64_t offset, int whence)
{
    return OS_CALL("lseek", fileno(fp), fseeko(fp, static_cast<off_t>(offset), whence), ", %lld",
                   static_cast<long long>(offset));
}

int64_t os_tell(FILE *fp)
{
    return ftello(fp);
}

int os_sync(int fd)
{
    return again([&] {
#ifdef __APPLE__
        // macOS's fsync leaves the data in the drive's cache; F_FULLFSYNC
        // flushes that too. A file system that refuses it gets fsync, the
        // best it offers.
        return OS_CALL("fdatasync", fd,
                       fcntl(fd, F_FULLFSYNC) == 0                                ? 0
                       : errno == ENOTSUP || errno == EINVAL || errno == ENOTTY ? fsync(fd)
                                                                                : -1);
#else
        return OS_CALL("fdatasync", fd, fdatasync(fd));
#endif
    });
}

int os_truncate(int fd, int64_t length)
{
    return again([&] {
        return OS_CALL("ftruncate", fd, ftruncate(fd, static_cast<off_t>(length)), ", %lld",
                       static_cast<long long>(length));
    });
}

int64_t os_freespace(int fd)
{
    // A file system that reports no size at all (a memory file with no
    // limit, for one) says nothing of its free space either.
    struct statvfs s;
    const int r = again([&] { return OS_CALL("fstatfs", fd, fstatvfs(fd, &s)); });
    if (r != 0 || s.f_blocks == 0)
        return -1;
    const uint64_t bytes = uint64_t(s.f_bavail) * s.f_frsize;
    return int64_t(bytes > INT64_MAX ? INT64_MAX : bytes);
}

bool os_appends(FILE *fp)
{
    const int flags = fileno(fp) >= 0 ? fcntl(fileno(fp), F_GETFL) : -1;
    return flags != -1 && (flags & O_APPEND) != 0;
}

int os_lock(int fd, bool wait)
{
    // flock is advisory: it serializes changes and blocks no reader.
    const int r = again([&] {
        return OS_CALL("flock", fd, flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)),
                       wait ? ", LOCK_EX" : ", LOCK_EX|LOCK_NB");
    });
    return r != 0 && errno == EWOULDBLOCK ? 1 : r;
}

int os_unlock(int fd)
{
    return OS_CALL("flock", fd, flock(fd, LOCK_UN), ", LOCK_UN");
}

int os_lockheld(int fd)
{
#ifdef __linux__
    // Linux lists the locks an open file holds among its descriptor's
    // details: "lock:\t1: FLOCK  ADVISORY  WRITE ...".
    char path[64], details[4096];
    snprintf(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    const int info = again([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    if (info < 0)
        return -1;
    size_t got = 0;
    for (int64_t n; got < sizeof details - 1; got += size_t(n)) {
        n = again([&] { return read(info, details + got, sizeof details - 1 - got); });
        if (n <= 0)
            break;
    }
    close(info);
    details[got] = '\0';
    for (const char *line = strstr(details, "lock:"); line; line = strstr(line + 1, "lock:")) {
        const char *end = strchr(line, '\n');
        const char *flock = strstr(line, "FLOCK"), *write = strstr(line, "WRITE");
        const char *read = strstr(line, "READ");
        if (flock && (!end || flock < end) && write && (!end || write < end))
            return 1;
        if (flock && (!end || flock < end) && read && (!end || read < end))
            return 2;
    }
    return 0;
#else
    (void)fd;
    return -1;
#endif
}

int os_lockelsewhere(int fd)
{
#ifdef __linux__
    // Every other descriptor of the process on the same file, as Linux
    // lists them; one that holds the lock is another open file's.
    struct stat mine, other;
    DIR *fds = opendir("/proc/self/fd");
    if (!fds || fstat(fd, &mine) != 0) {
        if (fds)
            closedir(fds);
        return -1;
    }
    int found = 0;
    while (const dirent *e = readdir(fds)) {
        const int n = atoi(e->d_name);
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || n == fd || n == dirfd(fds))
            continue;
        if (fstat(n, &other) == 0 && other.st_dev == mine.st_dev && other.st_ino == mine.st_ino &&
            os_lockheld(n) == 1)
            found = 1;
    }
    closedir(fds);
    return found;
#else
    (void)fd;
    return -1;
#endif
}

// The process's id, asked of the system once; a forked child asks again.
static pid_t mypid;
static bool forkwatched;
static void forked()
{
    mypid = 0;
}

int64_t os_pid()
{
    if (mypid != 0)
        return int64_t(mypid);
    const pid_t pid = getpid();
    if (!forkwatched)
        forkwatched = pthread_atfork(nullptr, nullptr, forked) == 0;
    if (forkwatched)
        mypid = pid;
    return int64_t(pid);
}

void os_prefault(void *p, size_t len)
{
#ifdef MADV_POPULATE_WRITE
    // Linux 5.14 on; whole pages. An older kernel refuses, which is no harm.
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = uintptr_t(p) & ~(page - 1), to = uintptr_t(p) + len;
    madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)p, (void)len;
#endif
}

int64_t os_milliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

static void (*recorder)(int);
static void recordsignal(int sig)
{
    recorder(sig);
}

void os_catchinterrupts(void (*record)(int))
{
    // Each blocks the others while it is recorded, so that of two that
    // arrive together the first is recorded first.
    recorder = record;
    struct sigaction caught = {}, was = {};
    caught.sa_handler = recordsignal;
    caught.sa_flags = SA_RESTART;
    const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
    sigemptyset(&caught.sa_mask);
    for (int sig : interrupts)
        sigaddset(&caught.sa_mask, sig);
    for (int sig : interrupts) {
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(sig, &caught, nullptr);
    }
}

void os_exit(int status)
{
    _exit(status);
}

bool os_isterminal(int fd)
{
    return isatty(fd) == 1;
}

void os_endbysignal(int sig)
{
    // Inside the signal's handler the signal is blocked, and would wait
    // there while the process went on to exit.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    signal(sig, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    std::_Exit(128 + sig);
}

const char *os_signalname(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGALRM:
        return "SIGALRM";
    case SIGPIPE:
        return "SIGPIPE";
    case SIGXCPU:
        return "SIGXCPU";
    case SIGXFSZ:
        return "SIGXFSZ";
    case SIGTSTP:
        return "SIGTSTP";
    case SIGABRT:
        return "SIGABRT";
    default: {
        static char name[32];
        snprintf(name, sizeof name, "signal %d", sig);
        return name;
    }
    }
}

#ifdef LUMPGRAFT_FAULTPOINTS
bool os_rawid(int fd, os_fileid *id)
{
    struct stat s;
    if (fstat(fd, &s) != 0)
        return false;
    *id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
    return true;
}

bool os_rawpathid(const char *path, os_fileid *id)
{
    struct stat s;
    if (stat(path, &s) != 0)
        return false;
    *id = {uint64_t(s.st_dev), {uint64_t(s.st_ino), 0}};
    return true;
}

void os_raiseerror(int err)
{
    errno = err;
}

void os_hangup()
{
    raise(SIGHUP);
}

void os_kill()
{
    raise(SIGKILL);
    std::_Exit(128 + SIGKILL);
}
#endif
