// SPDX-License-Identifier: MIT
// Helpers shared by the tests: building archives byte by byte, files in a
// scratch folder, running the built command, and checking that an archive is
// whole. The few calls that differ on Windows (starting programs, memory
// streams, locks) sit together in one block, both branches side by side.

#ifndef TESTWAD_H
#define TESTWAD_H

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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

inline std::string le32(int64_t v)
{
    std::string s(4, '\0');
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((u >> (8 * i)) & 0xff);
    return s;
}

inline int32_t get32(const std::string &s, size_t at)
{
    uint32_t u = 0;
    for (int i = 3; i >= 0; i--)
        u = (u << 8) | static_cast<unsigned char>(s.at(at + i));
    return static_cast<int32_t>(u);
}

inline std::string header(const char *magic, int64_t count, int64_t offset)
{
    return std::string(magic, 4) + le32(count) + le32(offset);
}

// A 16-byte directory record; `name` may hold up to eight bytes, NULs included.
inline std::string record(int64_t pos, int64_t size, const std::string &name)
{
    std::string n = name.substr(0, 8);
    n.resize(8, '\0');
    return le32(pos) + le32(size) + n;
}

struct lump {
    std::string name;
    std::string data;
};

// An archive laid out as tools usually write it: header, lump data in
// directory order, directory, then `trailing` bytes (nothing, normally).
inline std::string makewad(const std::vector<lump> &lumps,
                           const char *magic = "PWAD",
                           const std::string &trailing = "")
{
    std::string data, dir;
    for (const auto &l : lumps) {
        dir += record(12 + int64_t(data.size()), int64_t(l.data.size()), l.name);
        data += l.data;
    }
    return header(magic, int64_t(lumps.size()), 12 + int64_t(data.size())) +
           data + dir + trailing;
}

// Two small levels, as the sample archive has them.
inline std::vector<lump> twolevels()
{
    return {{"MAP01", ""},        {"THINGS", "t1t1t1t1t1"},
            {"LINEDEFS", "l1l1"}, {"SECTORS", "s1s1s1"},
            {"MAP02", ""},        {"THINGS", "t2t2"},
            {"LINEDEFS", "l2l2l2"}, {"PLAYPAL", "pppp"}};
}

// Paths are UTF-8 strings, as the command takes them on every system.
inline std::filesystem::path fspath(const std::string &utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string readfile(const std::string &path)
{
    std::ifstream in(fspath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writefile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(fspath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

// A fresh folder for one test, removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        const std::filesystem::path tmp = std::filesystem::temp_directory_path();
        std::random_device random;
        for (int tries = 0; dir.empty() && tries < 100; tries++) {
            const std::filesystem::path p = tmp / ("lumpgraft-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(p)) {
                const std::u8string u8 = p.u8string();
                dir.assign(u8.begin(), u8.end());
            }
        }
        ASSERT_FALSE(dir.empty()) << "no scratch folder in " << tmp;
    }
    void TearDown() override
    {
        if (!dir.empty())
            std::filesystem::remove_all(fspath(dir));
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// ---------------------------------------------------------------------------
// Starting and waiting for programs. `spawn` starts argv with standard
// output and error going to `outpath` and `errpath` (the same file when they
// are equal) and standard input empty, changed as `how` says. `reap` waits
// for it and returns its exit status, or 128 + the signal that ended it.

struct startup {
    bool merged = false;     // run(): both streams in one file, to check their order
    uint64_t fsizelimit = 0; // nonzero: cap on the size of files it may write (POSIX)
    std::vector<int> closed = {}; // standard streams (0, 1, 2) it starts without
    bool brokenpipe = false; // standard output a pipe whose reader is gone (POSIX)
    std::string outfile = {}, errfile = {}; // run(): an existing file for standard
                                            // output or error, which is not emptied
};

#ifdef _WIN32

constexpr bool onwindows = true;
using process = HANDLE;

inline std::wstring widen(const std::string &utf8)
{
    const std::u16string u16 = fspath(utf8).u16string();
    return std::wstring(u16.begin(), u16.end());
}

// One argument as the C runtime will split it back out of a command line.
inline std::wstring quoted(const std::wstring &arg)
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

inline process spawn(const std::vector<std::string> &argv, const std::string &outpath,
                     const std::string &errpath, const startup &how = {})
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

// A stream over `bytes` in memory, without a descriptor; Windows has none.
inline FILE *memstream(std::string &)
{
    return nullptr;
}

// Whether a reader that honours locks could lock the first `len` bytes of
// `path` now, without waiting.
inline bool readlockable(const std::string &path, uint64_t len)
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

// The whole of `path` mapped read-only, as a game or a viewer may hold an
// archive; unmapfile releases it.
using mapping = const void *;
inline mapping mapfile(const std::string &path)
{
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    HANDLE m = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void *view = MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(m); // the view keeps the mapping
    CloseHandle(h);
    return view;
}
inline void unmapfile(mapping view)
{
    UnmapViewOfFile(view);
}

// Windows has no FIFOs in the file system.
inline int makefifo(const std::string &)
{
    return -1;
}

// Sets a variable of the environment that started programs inherit; an
// empty value removes it. Windows has no /proc to read it back from.
inline void setvariable(const std::string &name, const std::string &value)
{
    _putenv_s(name.c_str(), value.c_str());
}
inline std::string environment()
{
    return "";
}

// Whether the tests run with the rights of the system's administrator.
inline bool asroot()
{
    return false;
}

inline int reap(process child, bool * = nullptr)
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

constexpr bool onwindows = false;
using process = pid_t;

inline process spawn(std::vector<std::string> argv, const std::string &outpath,
                     const std::string &errpath, const startup &how = {})
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

inline FILE *memstream(std::string &bytes)
{
    return fmemopen(bytes.data(), bytes.size(), "r+b");
}

inline bool readlockable(const std::string &path, uint64_t len)
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

using mapping = std::pair<void *, size_t>;
inline mapping mapfile(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const size_t len = size_t(lseek(fd, 0, SEEK_END));
    void *view = mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    return {view, len};
}
inline void unmapfile(mapping m)
{
    munmap(m.first, m.second);
}

// A FIFO at `path`, opened for reading without waiting for a writer: the
// descriptor, which the caller closes, or -1 where there are no FIFOs.
inline int makefifo(const std::string &path)
{
    return mkfifo(path.c_str(), 0644) == 0 ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
}

inline void setvariable(const std::string &name, const std::string &value)
{
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
}
// The environment as a started program's /proc/self/environ shows it.
inline std::string environment()
{
    std::string all;
    for (char **v = environ; *v; v++)
        all += std::string(*v) + '\0';
    return all;
}

inline bool asroot()
{
    return geteuid() == 0;
}

// `signaled` tells a death by a signal from an exit with 128 + its number.
inline int reap(process pid, bool *signaled = nullptr)
{
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (signaled)
        *signaled = WIFSIGNALED(wstatus);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

#endif

struct result {
    int status = -1;    // exit status, or 128 + signal
    bool signaled = false; // ended by a signal (POSIX)
    std::string out;    // standard output
    std::string err;    // standard error
};

// Run argv to its end with its output captured in files of `scratch`. With
// `merged`, both streams go to one file (returned in out).
inline result run(const std::string &scratch, std::vector<std::string> argv,
                  const startup &how = {})
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

// An archive is whole when its header is sound, its directory lies inside
// the file after the header, and every lump lies inside the file.
inline ::testing::AssertionResult wadiswhole(const std::string &w)
{
    if (w.size() < 12)
        return ::testing::AssertionFailure() << "shorter than a header";
    const std::string magic = w.substr(0, 4);
    if (magic != "IWAD" && magic != "PWAD")
        return ::testing::AssertionFailure() << "magic " << magic;
    const int64_t count = get32(w, 4), offset = get32(w, 8);
    if (count < 0 || count > 5000 || (count > 0 && offset < 12) ||
        offset + 16 * count > int64_t(w.size()))
        return ::testing::AssertionFailure()
               << count << " entries at " << offset << " in " << w.size() << " bytes";
    for (int64_t i = 0; i < count; i++) {
        const int64_t pos = get32(w, size_t(offset + 16 * i));
        const int64_t size = get32(w, size_t(offset + 16 * i + 4));
        if (size < 0 || pos < 0 || pos + size > int64_t(w.size()))
            return ::testing::AssertionFailure() << "entry " << i << " outside the file";
    }
    return ::testing::AssertionSuccess();
}

// Archives compare by their length and first differing offset: a diff of
// two archives of many megabytes would help nobody, and could exhaust memory.
inline ::testing::AssertionResult samebytes(const std::string &got, const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    const size_t common = std::min(got.size(), want.size());
    const size_t at = size_t(std::mismatch(got.begin(), got.begin() + long(common), want.begin()).first -
                             got.begin());
    return ::testing::AssertionFailure() << got.size() << " bytes where " << want.size()
                                         << " were expected, first differing at offset " << at;
}

// The entries of a whole archive as (name, data) pairs, in directory order.
inline std::vector<lump> lumpsof(const std::string &w)
{
    std::vector<lump> lumps;
    const int64_t count = get32(w, 4), offset = get32(w, 8);
    for (int64_t i = 0; i < count; i++) {
        const size_t at = size_t(offset + 16 * i);
        std::string name = w.substr(at + 8, 8);
        name.resize(strnlen(name.c_str(), 8));
        lumps.push_back({name, w.substr(size_t(get32(w, at)), size_t(get32(w, at + 4)))});
    }
    return lumps;
}

// What a successful run must make of `before`, given the file's bytes and
// the receiving entry n. When the directory is the last thing in the archive,
// the bytes go where it stood; otherwise at the end of the file. The
// directory follows them, with entry n pointing at them.
inline std::string grafted(const std::string &before, int n, const std::string &file)
{
    const int32_t count = get32(before, 4), offset = get32(before, 8);
    const size_t dirbytes = size_t(16) * size_t(count);
    const bool dirislast = size_t(offset) + dirbytes == before.size();
    const size_t place = dirislast ? size_t(offset) : before.size();
    std::string dir = before.substr(size_t(offset), dirbytes);
    dir.replace(size_t(16 * n), 8, le32(int64_t(place)) + le32(int64_t(file.size())));
    std::string after = before.substr(0, place) + file + dir;
    after.replace(8, 4, le32(int64_t(place + file.size())));
    return after;
}

inline bool operator==(const lump &a, const lump &b)
{
    return a.name == b.name && a.data == b.data;
}

inline void PrintTo(const lump &l, std::ostream *os)
{
    *os << l.name << "(" << l.data.size() << " bytes)";
}

} // namespace testwad

#endif
