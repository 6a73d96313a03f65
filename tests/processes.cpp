// SPDX-License-Identifier: MIT
// processes.h: the Windows calls first, then the POSIX ones.

#include "processes.h"
#include "archives.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testwad {

#ifdef _WIN32

static std::wstring widen(const std::string &utf8)
{
    const std::u16string u16 = fspath(utf8).u16string();
    return std::wstring(u16.begin(), u16.end());
}

// One argument as the C runtime will split it back out of a command line.
static std::wstring quoted(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, L'\\');
    return q + L"\"";
}

process spawn(std::vector<std::string> argv, const std::string &outpath,
              const std::string &errpath, const startup &how)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const auto create = [&](const std::string &p) {
        return CreateFileW(widen(p).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit,
                           how.outfile.empty() && how.errfile.empty() ? CREATE_ALWAYS
                                                                      : OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE out = create(outpath);
    HANDLE err = errpath == outpath ? out : create(errpath);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    const auto isclosed = [&](int fd) {
        return std::find(how.closed.begin(), how.closed.end(), fd) != how.closed.end();
    };
    start.hStdInput = isclosed(0) ? nullptr : in;
    start.hStdOutput = isclosed(1) ? nullptr : out;
    start.hStdError = isclosed(2) ? nullptr : err;
    std::wstring line;
    for (const std::string &a : argv)
        line += (line.empty() ? L"" : L" ") + quoted(widen(a));
    // Wine, busy, now and then fails to start a program just after another
    // ended; that is no result of the program's, so it is tried again.
    PROCESS_INFORMATION child = {};
    bool started = false;
    for (int tries = 0; !started && tries < 5; tries++) {
        std::wstring copy = line; // CreateProcessW may write into its command line
        started = CreateProcessW(nullptr, copy.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &start, &child);
        if (!started)
            Sleep(100 << tries);
    }
    if (!started)
        fprintf(stderr, "cannot start %s: error %lu\n", argv[0].c_str(), GetLastError());
    CloseHandle(in);
    CloseHandle(out);
    if (err != out)
        CloseHandle(err);
    if (!started)
        return nullptr;
    CloseHandle(child.hThread);
    return child.hProcess;
}

FILE *memstream(std::string &) { return nullptr; }

bool readlockable(const std::string &path, uint64_t len)
{
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    OVERLAPPED at = {};
    const bool locked = LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, DWORD(len),
                                   DWORD(len >> 32), &at);
    CloseHandle(h); // releases the lock
    return locked;
}

mapping mapfile(const std::string &path)
{
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    HANDLE m = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void *view = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(m); // the view keeps the mapping
    CloseHandle(h);
    return {view, 0};
}

void unmapfile(mapping m)
{
    UnmapViewOfFile(m.first);
}

void *holdfile(const std::string &path)
{
    return CreateFileW(widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void letgo(void *held)
{
    CloseHandle(held);
}

int makefifo(const std::string &) { return -1; }

void setvariable(const std::string &name, const std::string &value)
{
    _putenv_s(name.c_str(), value.c_str());
}

std::string environment() { return ""; }
bool asroot() { return false; }

int reap(process child, bool *)
{
    if (!child)
        return 127;
    DWORD status = 127;
    WaitForSingleObject(child, INFINITE);
    GetExitCodeProcess(child, &status);
    CloseHandle(child);
    return int(status);
}

#else

process spawn(std::vector<std::string> argv, const std::string &outpath,
              const std::string &errpath, const startup &how)
{
#ifdef LUMPGRAFT_EMULATOR
    // A cross-built program runs under the emulator that runs the tests.
    if (argv[0] == LUMPGRAFT_BIN || argv[0] == LUMPGRAFT_BUILD "/tests/listlevels")
        argv.insert(argv.begin(), LUMPGRAFT_EMULATOR);
#endif
    const pid_t pid = fork();
    if (pid == 0) {
        const int mode =
            O_WRONLY | O_CREAT | (how.outfile.empty() && how.errfile.empty() ? O_TRUNC : 0);
        const int out = open(outpath.c_str(), mode, 0644);
        const int err = errpath == outpath ? out : open(errpath.c_str(), mode, 0644);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (how.fsizelimit) {
            rlimit lim{how.fsizelimit, how.fsizelimit};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        int pipeends[2];
        if (how.brokenpipe && pipe(pipeends) == 0) {
            close(pipeends[0]);
            dup2(pipeends[1], 1);
        }
        for (int fd : how.closed)
            close(fd);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

FILE *memstream(std::string &bytes)
{
    return fmemopen(bytes.data(), bytes.size(), "r+b");
}

bool readlockable(const std::string &path, uint64_t len)
{
    const int fd = open(path.c_str(), O_RDONLY);
    struct flock range = {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_len = off_t(len);
    const bool locked = fcntl(fd, F_SETLK, &range) == 0;
    close(fd); // releases the lock
    return locked;
}

mapping mapfile(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const size_t len = size_t(lseek(fd, 0, SEEK_END));
    void *view = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    return {view, len};
}

void unmapfile(mapping m)
{
    munmap(m.first, m.second);
}

void *holdfile(const std::string &)
{
    return nullptr;
}

void letgo(void *) {}

int makefifo(const std::string &path)
{
    return mkfifo(path.c_str(), 0644) == 0 ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
}

void setvariable(const std::string &name, const std::string &value)
{
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
}

std::string environment()
{
    std::string all;
    for (char **v = environ; *v; v++)
        all += std::string(*v) + '\0';
    return all;
}

bool asroot()
{
    return geteuid() == 0;
}

int reap(process pid, bool *signaled)
{
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (signaled)
        *signaled = WIFSIGNALED(wstatus);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

#endif

result run(const std::string &scratch, std::vector<std::string> argv, const startup &how)
{
    const std::string outpath = how.outfile.empty() ? scratch + "/.stdout" : how.outfile;
    const std::string errpath =
        how.merged ? outpath : how.errfile.empty() ? scratch + "/.stderr" : how.errfile;
    result r;
    r.status = reap(spawn(std::move(argv), outpath, errpath, how), &r.signaled);
    r.out = readfile(outpath);
    if (!how.merged)
        r.err = readfile(errpath);
    return r;
}

} // namespace testwad
