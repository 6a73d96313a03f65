// SPDX-License-Identifier: MIT
// Programs started and waited for, and the system as other programs see it:
// memory streams, locks, mappings, FIFOs, the environment.

#ifndef PROCESSES_H
#define PROCESSES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

namespace testwad {

#ifdef _WIN32
constexpr bool onwindows = true;
using process = void *; // a HANDLE
#else
constexpr bool onwindows = false;
using process = pid_t;
#endif

// Starting and waiting for programs. `spawn` starts argv with standard
// output and error going to `outpath` and `errpath` (the same file when they
// are equal) and standard input empty, changed as `how` says. `reap` waits
// for it and returns its exit status, or 128 + the signal that ended it;
// `signaled` tells a death by a signal from an exit with 128 + its number.
// The built command, and the consumer's program, run under the emulator
// that runs the tests of a Linux cross build.
struct startup {
    bool merged = false;     // run(): both streams in one file, to check their order
    uint64_t fsizelimit = 0; // nonzero: cap on the size of files it may write (POSIX)
    std::vector<int> closed = {}; // standard streams (0, 1, 2) it starts without
    bool brokenpipe = false; // standard output a pipe whose reader is gone (POSIX)
    std::string outfile = {}, errfile = {}; // run(): an existing file for standard
                                            // output or error, which is not emptied
};
process spawn(std::vector<std::string> argv, const std::string &outpath,
              const std::string &errpath, const startup &how = {});
int reap(process child, bool *signaled = nullptr);

struct result {
    int status = -1;    // exit status, or 128 + signal
    bool signaled = false; // ended by a signal (POSIX)
    std::string out;    // standard output
    std::string err;    // standard error
};
// Run argv to its end with its output captured in files of `scratch`. With
// `merged`, both streams go to one file (returned in out).
result run(const std::string &scratch, std::vector<std::string> argv, const startup &how = {});

// A stream over `bytes` in memory, without a descriptor; null on Windows,
// which has none.
FILE *memstream(std::string &bytes);

// Whether a reader that honours locks could lock the first `len` bytes of
// `path` now, without waiting.
bool readlockable(const std::string &path, uint64_t len);

// The whole of `path` mapped read-only, as a game or a viewer may hold an
// archive; unmapfile releases it.
using mapping = std::pair<void *, size_t>;
mapping mapfile(const std::string &path);
void unmapfile(mapping m);
// `path` held open by a program that shares it with no other (Windows; null
// elsewhere, where no such hold exists); letgo releases it.
void *holdfile(const std::string &path);
void letgo(void *held);

// A FIFO at `path`, opened for reading without waiting for a writer: the
// descriptor, which the caller closes, or -1 where there are no FIFOs
// (Windows has none in the file system).
int makefifo(const std::string &path);

// Sets a variable of the environment that started programs inherit; an
// empty value removes it. `environment` is the environment as a started
// program's /proc/self/environ shows it; Windows has no /proc to read it
// back from, and gives "".
void setvariable(const std::string &name, const std::string &value);
std::string environment();

// Whether the tests run with the rights of the system's administrator.
bool asroot();

} // namespace testwad

#endif
