// SPDX-License-Identifier: MIT
// The archive survives whatever stops a run:
// - every call a run makes on the archive is made to fail (ENOSPC, EIO, or,
//   from inside, a short write), to be interrupted where the code retries
//   (EINTR), or to kill the process, one call at a time;
// - a recording of the run's writes, truncations and syncs is replayed as a
//   disk that loses power could have kept it.
// The faults come from outside, through strace (Linux), and from inside,
// through the fault points of a test build (LUMPGRAFT_FAULTPOINTS), on every
// system: the same tables drive both, and the fault points record the
// run's calls the way strace prints them.

#include "archives.h"
#include "processes.h"

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace testwad;

namespace {

const char *const watchedcalls[] = {"flock", "read", "pread64", "write", "pwrite64", "lseek",
                                    "fsync", "fdatasync", "ftruncate", "close"};

// The calls the code repeats when they are interrupted.
bool retried(const std::string &call)
{
    return call == "flock" || call == "pread64" || call == "pwrite64" || call == "fdatasync" ||
           call == "ftruncate";
}

bool havestrace()
{
    return !onwindows && system("strace -V >/dev/null 2>&1") == 0;
}

bool watched(const std::string &call)
{
    return std::find(std::begin(watchedcalls), std::end(watchedcalls), call) !=
           std::end(watchedcalls);
}

// The status of a killed run, on every system (Windows' fault points end the
// process with it).
constexpr int killed = 128 + 9;

std::string pattern(size_t len)
{
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++)
        s[i] = static_cast<char>(i % 251); // no block of a copy repeats another
    return s;
}

// One operation of a recorded run on the archive.
struct diskop {
    enum { write, truncate, sync } kind;
    int64_t at = 0;   // offset written at, or the length cut to
    std::string data; // bytes written
};

// What a run did to the archive, from its strace log (taken with -xx, so
// every string is \xHH escapes): writes with their offsets and bytes,
// truncations and syncs. Reads and seeks only move the file offset.
std::vector<diskop> parsetrace(const std::string &trace)
{
    std::vector<diskop> ops;
    int64_t offset = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const std::string call = line.substr(0, line.find('('));
        const size_t eq = line.rfind(" = ");
        const size_t close = line.rfind(')', eq);
        if (eq == std::string::npos || close == std::string::npos) {
            ADD_FAILURE() << "unreadable trace line: " << line.substr(0, 100);
            continue;
        }
        const int64_t ret = std::stoll(line.substr(eq + 3));
        const std::string args = line.substr(call.size() + 1, close - call.size() - 1);
        if (ret < 0) // a failed call changes nothing
            continue;
        // A write's string argument, whole: -s is far above any write here.
        std::string bytes;
        if (const size_t q = args.find('"');
            q != std::string::npos && (call == "write" || call == "pwrite64")) {
            const size_t end = args.find('"', q + 1);
            EXPECT_NE(args.compare(end + 1, 3, "..."), 0) << "strace cut a string short";
            for (size_t i = q + 1; i + 4 <= end; i += 4)
                bytes += char(std::stoi(args.substr(i + 2, 2), nullptr, 16));
        }
        if (call == "openat") {
            offset = 0;
        } else if (call == "lseek") {
            offset = ret;
        } else if (call == "read") {
            offset += ret;
        } else if (call == "write") {
            ops.push_back({diskop::write, offset, bytes.substr(0, size_t(ret))});
            offset += ret;
        } else if (call == "pwrite64") {
            const int64_t at = std::stoll(args.substr(args.rfind(", ") + 2));
            ops.push_back({diskop::write, at, bytes.substr(0, size_t(ret))});
        } else if (call == "ftruncate") {
            ops.push_back({diskop::truncate, std::stoll(args.substr(args.find(", ") + 2)), ""});
        } else if (call == "fsync" || call == "fdatasync") {
            ops.push_back({diskop::sync, 0, ""});
        }
    }
    return ops;
}

// The smallest piece of a write that a power cut keeps or loses: one sector,
// or only the new length of a file that a write extends.
struct piece {
    enum { bytes, extend, cut } kind;
    int64_t at;
    std::string data;
};

void keep(std::string &file, const piece &p)
{
    switch (p.kind) {
    case piece::bytes:
        if (int64_t(file.size()) < p.at + int64_t(p.data.size()))
            file.resize(size_t(p.at) + p.data.size(), '\0');
        file.replace(size_t(p.at), p.data.size(), p.data);
        break;
    case piece::extend:
        if (int64_t(file.size()) < p.at)
            file.resize(size_t(p.at), '\0');
        break;
    case piece::cut:
        file.resize(size_t(p.at), '\0');
        break;
    }
}

// `op` as pieces that may each reach the disk or not; `size` is the file's
// length just before it.
std::vector<piece> pieces(const diskop &op, int64_t size)
{
    constexpr int64_t sector = 512;
    std::vector<piece> out;
    if (op.kind == diskop::truncate)
        return {piece{piece::cut, op.at, ""}};
    const int64_t end = op.at + int64_t(op.data.size());
    if (end > size)
        out.push_back({piece::extend, end, ""});
    for (int64_t at = op.at; at < end; at = (at / sector + 1) * sector) {
        const int64_t stop = std::min(end, (at / sector + 1) * sector);
        out.push_back({piece::bytes, at, op.data.substr(size_t(at - op.at), size_t(stop - at))});
    }
    return out;
}

// Which of n pieces reach the disk: every choice for a few; for more, each
// piece alone and all but each one, every pair and all but every pair, every
// prefix, and a fixed set of random choices.
std::vector<std::vector<bool>> choices(size_t n)
{
    std::vector<std::vector<bool>> out;
    if (n <= 12) {
        for (uint32_t mask = 0; mask < (1u << n); mask++) {
            std::vector<bool> c(n);
            for (size_t i = 0; i < n; i++)
                c[i] = (mask >> i) & 1;
            out.push_back(c);
        }
        return out;
    }
    for (size_t i = 0; i <= n; i++) {
        for (size_t j = i; j <= n; j++) {
            std::vector<bool> only(n, false), allbut(n, true);
            for (size_t k : {i, j}) {
                if (k < n)
                    only[k] = true, allbut[k] = false;
            }
            out.push_back(only);
            out.push_back(allbut);
        }
        std::vector<bool> prefix(n, false);
        std::fill(prefix.begin(), prefix.begin() + long(i), true);
        out.push_back(prefix);
    }
    std::mt19937 random(12345);
    for (int r = 0; r < 200; r++) {
        std::vector<bool> c(n);
        for (size_t i = 0; i < n; i++)
            c[i] = random() & 1;
        out.push_back(c);
    }
    return out;
}

class FaultTest : public ScratchTest {
protected:
    std::string wadpath, filepath;
    bool inprocess = false; // faults from the fault points, not strace

    void SetUp() override
    {
        ScratchTest::SetUp();
        wadpath = path("game.wad");
        filepath = path("level.lmp");
        if (!inprocess && !havestrace()) {
            const char *ci = getenv("CI");
            if (ci && std::string(ci) == "true")
                FAIL() << "strace is missing (Debian package strace)";
            GTEST_SKIP() << "strace is missing (Debian package strace)";
        }
    }

    // One planned fault: the when-th call named `call` on the watched file,
    // or, `later`, that one and every later one, fails with `what` (ENOSPC,
    // EIO, EINTR; from inside also "short") or is killed ("kill").
    struct fault {
        std::string call, what;
        int when;
        bool later = false;
    };

    // Runs argv with `faults`, the calls on `watched` recorded in `log`
    // (nowhere when empty), with the bytes they write when `bytes`.
    result runwith(const std::vector<std::string> &argv, const std::vector<fault> &faults,
                   const std::string &log = "", bool bytes = false, std::string watched = "")
    {
        watched = watched.empty() ? wadpath : watched;
        if (inprocess) {
            std::string plan;
            for (const fault &f : faults)
                plan += (plan.empty() ? "" : ",") + f.call + ":" + f.what + ":" +
                        std::to_string(f.when) + (f.later ? "+" : "");
            if (!log.empty())
                std::filesystem::remove(fspath(log));
            setvariable("LUMPGRAFT_FAULTPATH", watched);
            setvariable("LUMPGRAFT_FAULTS", plan);
            setvariable("LUMPGRAFT_FAULTLOG", log);
            const result r = run(dir, argv);
            for (const char *name : {"LUMPGRAFT_FAULTPATH", "LUMPGRAFT_FAULTS", "LUMPGRAFT_FAULTLOG"})
                setvariable(name, "");
            return r;
        }
        std::string calls = "openat,write,lseek,fsync";
        for (const char *c : watchedcalls)
            calls += std::string(",") + c;
        std::vector<std::string> options = {"-o", log.empty() ? "/dev/null" : log, "-e",
                                            "trace=" + calls};
        if (bytes)
            options.insert(options.end(), {"-xx", "-s", "16777216"});
        for (const fault &f : faults)
            options.insert(options.end(),
                           {"-e", "inject=" + f.call + ":" +
                                      (f.what == "kill" ? "signal=SIGKILL" : "error=" + f.what) +
                                      ":when=" + std::to_string(f.when) + (f.later ? "+" : "")});
        return run(dir, straced(watched, options, argv));
    }

    std::vector<std::string> command(const std::vector<std::string> &extra) const
    {
        std::vector<std::string> argv = {LUMPGRAFT_BIN, wadpath, filepath};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    // A run to put under faults: the archive before it, the level file, the
    // command, and the archive it must leave (empty for a compaction: what a
    // clean run leaves, which must list the same lumps in fewer bytes). Once
    // its final header is durable, a graft or a directory edit has taken
    // effect, and a failure to cut the archive's end is only a warning,
    // which gives the bytes left; a compaction, whose whole point is the
    // cut, fails.
    struct job {
        std::string before, file;
        std::vector<std::string> argv;
        std::string after;
        bool cutwarns;
        std::string success; // the end of its last line when it succeeds
        std::string warning; // what a failed cut after the commit says
        bool settles = false; // data goes over old places after the park, which stays
        std::string appended = {}; // written by the program itself before its change
    };
    job graft(const std::string &before, const std::string &file, int entry,
              const std::vector<std::string> &extra = {}) const
    {
        return {before, file, command(extra), grafted(before, entry, file), true, " ok\n",
                wadpath + ": warning: the graft is done, but the " +
                    std::to_string(16 * get32(before, 4)) + " bytes past its directory "};
    }
    job compaction(const std::string &before) const
    {
        return {before, "", {LUMPGRAFT_BIN, "--compact", wadpath}, "", false,
                " bytes reclaimed\n", "", true};
    }
    // A directory edit by the consumer's program, through the library; one
    // that writes the directory over lump data parks copies of it too.
    job edit(const std::string &before, const std::vector<std::string> &args,
             const std::string &after, int64_t copied = 0,
             const std::string &appended = "") const
    {
        std::vector<std::string> argv = {LISTLEVELS_BIN, wadpath};
        argv.insert(argv.end(), args.begin(), args.end());
        return {before, "", argv, after, true, "done\n",
                "writewad: " + wadpath + ": warning: the directory is written, but the " +
                    std::to_string(16 * get32(before, 4) + copied) + " bytes past it ",
                copied > 0, appended};
    }

    // The command run under strace, which sees only the calls on `watched`.
    static std::vector<std::string> straced(const std::string &watched,
                                            const std::vector<std::string> &options,
                                            const std::vector<std::string> &argv)
    {
        // LeakSanitizer cannot work under ptrace; the other checks can.
        std::vector<std::string> all = {"strace", "-qq", "-e", "signal=none", "-E",
                                        "ASAN_OPTIONS=detect_leaks=0", "-P", watched};
        all.insert(all.end(), options.begin(), options.end());
        all.insert(all.end(), argv.begin(), argv.end());
        return all;
    }

    // A run of `j` with `faults`, recorded (with the bytes written, when
    // `bytes`): its log. A clean run (no faults) must succeed; it sets
    // j.after, for a compaction, to what the run left.
    std::string traced(job &j, const std::vector<fault> &faults = {}, bool bytes = false)
    {
        writefile(wadpath, j.before);
        writefile(filepath, j.file);
        const result r = runwith(j.argv, faults, path("trace"), bytes);
        if (faults.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            const std::string left = readfile(wadpath);
            if (j.after.empty()) {
                EXPECT_TRUE(wadiswhole(left) && lumpsof(left) == lumpsof(j.before));
                EXPECT_LT(left.size(), j.before.size()) << "nothing was reclaimed";
                j.after = left;
            }
            EXPECT_TRUE(samebytes(left, j.after));
        }
        return readfile(path("trace"));
    }

    // Whether the run said it succeeded: its last line is the job's own (the
    // consumer's lines end in \r\n on Windows, as a C program's text does).
    static bool saidok(const job &j, const result &r)
    {
        std::string out = r.out;
        std::erase(out, '\r');
        return out.ends_with(j.success);
    }

    // A compaction keeps each lump's offset modulo 4 in every state it leaves.
    static ::testing::AssertionResult aligned(const job &j, const std::string &now)
    {
        const bool compacts = j.argv[1] == "--compact" && wadiswhole(now);
        for (int32_t i = 0; compacts && i < std::min(get32(now, 4), get32(j.before, 4)); i++) {
            const int32_t pos = get32(now, size_t(get32(now, 8) + 16 * i));
            const int32_t was = get32(j.before, size_t(get32(j.before, 8) + 16 * i));
            if (get32(now, size_t(get32(now, 8) + 16 * i + 4)) > 0 && (pos - was) % 4 != 0)
                return ::testing::AssertionFailure() << "a lump at " << was << " moved to " << pos;
        }
        return ::testing::AssertionSuccess();
    }

    // Whether `r`, which left `now`, kept the promise: a whole archive that
    // lists the old or the new lumps; success said only when it has the new
    // ones, and a failure said naming the archive (the failure of a header's
    // write or sync may leave either).
    ::testing::AssertionResult kept(const job &j, const result &r, const std::string &now) const
    {
        if (!wadiswhole(now) || !aligned(j, now))
            return ::testing::AssertionFailure()
                   << wadiswhole(now).message() << aligned(j, now).message();
        const bool isold = lumpsof(now) == lumpsof(j.before);
        const bool isnew = lumpsof(now) == lumpsof(j.after);
        const bool said_ok = saidok(j, r);
        if ((r.status == 0 && said_ok && isnew) ||
            ((r.status == 255 || r.status == killed) && !said_ok && (isold || isnew) &&
             (r.status != 255 || r.err.find(wadpath) != std::string::npos)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "status " << r.status << ", old lumps " << isold
                                             << ", new lumps " << isnew << "\n"
                                             << r.out << r.err;
    }

    // Inject every fault at every watched call; each run must leave the old
    // or the new archive and say truthfully which. Once the final header is
    // durable, the run has taken effect: a failure to cut the archive's end
    // after it is a warning, and the run succeeds. After each first failure,
    // a second fault strikes what the run then does to undo it: every later
    // call fails, or a later call is killed; with `replay`, the power is also
    // cut at every point of the failing run.
    void survivesfaults(job j, bool replay = false)
    {
        const std::string &before = j.before, &after = j.after;

        std::map<std::string, int> counts;
        std::set<std::string> aftercommit; // "call:k" at or after the cut
        std::set<std::string> unlocks;     // "call:k" releasing the lock, all durable
        std::vector<std::string> order;    // the calls in the order made
        std::map<std::string, size_t> place; // "call:k" -> its place in that order
        std::vector<size_t> headers;         // the places of the header's writes
        size_t cut = SIZE_MAX;               // the place of the cut
        std::istringstream trace(traced(j));
        const std::vector<lump> oldlumps = lumpsof(before), newlumps = lumpsof(after);
        for (std::string line; std::getline(trace, line);) {
            const std::string call = line.substr(0, line.find('('));
            if (!watched(call))
                continue;
            const std::string at = call + ":" + std::to_string(++counts[call]);
            place[at] = order.size();
            bool magic = false;
            for (const char *m : {"\"PWAD", "\"IWAD", "\"\\x50\\x57\\x41\\x44", "\"\\x49\\x57\\x41\\x44"})
                magic = magic || line.find(m) != std::string::npos;
            if ((call == "write" || call == "pwrite64") && line.ends_with(" = 12") && magic)
                headers.push_back(order.size());
            if (call == "ftruncate")
                cut = order.size();
            order.push_back(call);
            if (j.cutwarns &&
                (call == "ftruncate" || (!aftercommit.empty() && call.ends_with("sync"))))
                aftercommit.insert(at);
            if (line.find("LOCK_UN") != std::string::npos)
                unlocks.insert(at);
        }

        // A graft holds its lock from before it reads the header and the
        // directory, and so reads each once.
        if (j.argv[0] == LUMPGRAFT_BIN && j.argv[1] != "--compact") {
            EXPECT_EQ(counts["pread64"], 2);
        }

        // A failed call leaves the archive exactly as it was when it comes
        // before the commit's header (a graft) or before the park is durable
        // (a compaction, which then moves data over the old places).
        size_t exactbefore = 0;
        if (!headers.empty() && !j.settles)
            exactbefore = headers.back();
        else if (!headers.empty())
            exactbefore = size_t(std::find(order.begin() + long(headers.front()), order.end(),
                                           "fdatasync") - order.begin()) + 1;

        int points = 0, survived = 0, doubles = 0, doublessurvived = 0, states = 0, broken = 0;
        for (const auto &[call, count] : counts) {
            std::vector<std::string> faults = {"ENOSPC", "EIO", "kill"};
            if (retried(call) && !onwindows)
                faults.push_back("EINTR");
            if (call == "pwrite64" && inprocess)
                faults.push_back("short");
            for (int k = 1; k <= count; k++) {
                std::string told; // the message of a failure here, before the commit
                for (const std::string &fault : faults) {
                    SCOPED_TRACE(call + ":" + fault + ":" + std::to_string(k));
                    writefile(wadpath, before);
                    const result r = runwith(j.argv, {{call, fault, k}});
                    if (fault == "EIO" && r.status == 255 && !headers.empty() &&
                        place[call + ":" + std::to_string(k)] < headers.back())
                        told = r.err.substr(0, r.err.find('\n') + 1);
                    const std::string now = readfile(wadpath);
                    const bool whole = wadiswhole(now);
                    const bool isold = whole && lumpsof(now) == oldlumps;
                    const bool isnew = whole && lumpsof(now) == newlumps;
                    const bool said_ok = saidok(j, r);
                    // A failed call ends the run with a message naming the
                    // archive; an interrupted one is repeated and the run
                    // completes.
                    bool truthful;
                    if (fault == "kill")
                        truthful = r.status == killed && !said_ok;
                    // (the C library's seek reads ahead, and seeks again if that fails)
                    else if (fault == "EINTR" || (call == "read" && !j.appended.empty()))
                        truthful = r.status == 0 && said_ok && samebytes(now, after);
                    else if (call == "close") // only the last close, the archive's, is told
                        truthful = r.status == 0 && said_ok && isnew &&
                                   (k < count ? r.err.empty()
                                              : r.err.starts_with(wadpath + ": warning: the run "
                                                                            "is done and durable"));
                    else if (unlocks.count(call + ":" + std::to_string(k)))
                        truthful = r.status == 0 && said_ok && samebytes(now, after);
                    else if (aftercommit.count(call + ":" + std::to_string(k)))
                        truthful = r.status == 0 && said_ok && isnew &&
                                   // the library warns on standard output
                                   (j.argv[0] == LISTLEVELS_BIN ? r.out : r.err)
                                           .find(j.warning) != std::string::npos;
                    else {
                        // A compaction's failed cut, or its sync, says which. A
                        // failure at the commit's header write runs no undo: its
                        // bytes may have reached the disk.
                        const size_t at = place[call + ":" + std::to_string(k)];
                        const char *said = at == cut ? "but cutting it to" : "making the cut durable";
                        // and says what the archive holds, truly.
                        const bool asitwas = r.err.ends_with(": the archive is as it was\n") ||
                                             r.err.ends_with(": nothing was written\n");
                        truthful = r.status == 255 && !said_ok &&
                                   r.err.find(wadpath) != std::string::npos &&
                                   (!asitwas || now == before || now == before + j.appended) &&
                                   (at < cut || r.err.find(said) != std::string::npos) &&
                                   // plus what the program appended, once its write (or,
                                   // unseen from inside, readwad's last read) is past
                                   (at >= exactbefore ||
                                    now == before + (at <= place[place.count("write:1")
                                                                     ? "write:1"
                                                                     : "pread64:2"]
                                                         ? ""
                                                         : j.appended)) &&
                                   !(!headers.empty() && at == headers.back() &&
                                     samebytes(now, before));
                    }
                    EXPECT_TRUE(whole) << wadiswhole(now).message();
                    EXPECT_TRUE(isold || isnew);
                    EXPECT_TRUE(aligned(j, now));
                    EXPECT_TRUE(truthful) << r.status << "\n" << r.out << r.err;
                    points++;
                    survived += (isold || isnew) && truthful;
                }
                if (call == "close")
                    continue;

                // The run that fails there, recorded: the calls it makes
                // after the failure, and the bytes it writes.
                const fault first = {call, "EIO", k};
                SCOPED_TRACE(call + ":EIO:" + std::to_string(k));
                const std::string log = traced(j, {first}, replay);
                if (replay) {
                    const auto [explored, failing] = cutpower(j, parsetrace(log));
                    states += explored;
                    broken += failing;
                }

                // Every later call fails, whatever it is.
                std::map<std::string, int> made;
                size_t n = 0;
                for (; n < order.size() && !(order[n] == call && made[call] == k - 1); n++)
                    made[order[n]]++;
                std::vector<fault> all;
                for (const char *c : watchedcalls)
                    all.push_back({c, "EIO", made[c] + 1, true});
                std::vector<std::vector<fault>> seconds = {all};

                // A later call of another kind is killed, at each one. (strace
                // injects one fault per kind of call; the replay covers a kill
                // at a later call of the same kind.)
                std::map<std::string, int> seen;
                bool failed = false;
                std::istringstream lines(log);
                for (std::string line; std::getline(lines, line);) {
                    const std::string c = line.substr(0, line.find('('));
                    if (!watched(c))
                        continue;
                    const int m = ++seen[c];
                    if (failed && c != call) {
                        seconds.push_back({first, {c, "kill", m}});
                        seconds.push_back({first, {c, "EIO", m}});
                    }
                    failed = failed || (c == call && m == k);
                }
                for (const std::vector<fault> &second : seconds) {
                    SCOPED_TRACE(second.back().call + ":" + second.back().what + ":" +
                                 std::to_string(second.back().when));
                    writefile(wadpath, before);
                    const result r = runwith(j.argv, second);
                    const ::testing::AssertionResult ok = kept(j, r, readfile(wadpath));
                    EXPECT_TRUE(ok);
                    // The message comes before the undo, which may be cut short.
                    EXPECT_NE(r.err.find(told), std::string::npos) << r.err;
                    doubles++;
                    doublessurvived += bool(ok);
                }
            }
        }
        EXPECT_GT(points, 0);
        std::cout << survived << " of " << points << " fault points survived, and "
                  << doublessurvived << " of " << doubles << " double faults\n";
        if (replay)
            std::cout << states << " power-loss states of the failing runs explored, " << broken
                      << " failing\n";
        EXPECT_EQ(survived, points);
        EXPECT_EQ(doublessurvived, doubles);
        EXPECT_EQ(broken, 0);
    }

    // Cut the power at every point of a recorded run: what the disk then
    // holds is everything up to the last completed sync plus any choice of
    // the sectors written and the lengths changed since. Each such state must
    // read as the old archive or the new one. Returns how many states were
    // explored and how many failed.
    std::pair<int, int> cutpower(const job &j, const std::vector<diskop> &ops)
    {
        const std::vector<lump> oldlumps = lumpsof(j.before), newlumps = lumpsof(j.after);
        int states = 0, failing = 0, syncs = 0;
        // The fault points record the library's calls alone, not the program's.
        std::string durable = j.before + (inprocess ? j.appended : ""), replayed = durable;
        std::vector<piece> pending;
        const auto cut = [&] {
            for (const std::vector<bool> &kept : choices(pending.size())) {
                std::string disk = durable;
                for (size_t i = 0; i < pending.size(); i++) {
                    if (kept[i])
                        keep(disk, pending[i]);
                }
                states++;
                const auto whole = wadiswhole(disk) ? aligned(j, disk) : wadiswhole(disk);
                if (whole && (lumpsof(disk) == oldlumps || lumpsof(disk) == newlumps))
                    continue;
                if (++failing <= 3) {
                    std::string which;
                    for (size_t i = 0; i < pending.size(); i++)
                        which += kept[i] ? '1' : '0';
                    ADD_FAILURE() << "power cut after sync " << syncs << ", pieces kept "
                                  << which << ": "
                                  << (whole ? "neither the old nor the new lumps"
                                            : whole.message());
                }
            }
        };
        for (const diskop &op : ops) {
            if (op.kind == diskop::sync) {
                cut();
                durable = replayed;
                pending.clear();
                syncs++;
                continue;
            }
            for (const piece &p : pieces(op, int64_t(replayed.size()))) {
                keep(replayed, p);
                pending.push_back(p);
            }
        }
        cut();
        return {states, failing};
    }

    // Record a run's writes, truncations and syncs on the archive, then cut
    // the power at every point; the state after the last sync must be the
    // new archive. Returns the archive the run left.
    std::string survivespowerloss(job j)
    {
        const std::vector<diskop> ops = parsetrace(traced(j, {}, true));
        const std::string left = readfile(wadpath);

        // The recorder itself: replaying every operation gives the file the
        // run left, byte for byte.
        std::string replayed = j.before + (inprocess ? j.appended : ""), durable = replayed;
        int syncs = 0;
        for (const diskop &op : ops) {
            for (const piece &p : pieces(op, int64_t(replayed.size())))
                keep(replayed, p);
            if (op.kind == diskop::sync) {
                durable = replayed;
                syncs++;
            }
        }
        EXPECT_TRUE(samebytes(replayed, left)) << "the recording misses some writes";
        EXPECT_GT(syncs, 0);
        EXPECT_TRUE(samebytes(durable, j.after))
            << "after the last sync the disk does not hold the new archive";
        const auto [states, failing] = cutpower(j, ops);
        std::cout << states << " power-loss states explored over " << syncs << " syncs, "
                  << failing << " failing\n";
        EXPECT_EQ(failing, 0);
        return left;
    }
};

// The sweeps, each run with both kinds of injection where they can reach the
// command: strace on native Linux (LUMPGRAFT_NOSTRACE marks a build for
// another system or processor, whose calls strace names otherwise), the
// fault points in a build that has them, on every system.
class FaultSweep : public FaultTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        inprocess = GetParam();
        FaultTest::SetUp();
    }
};

// A cross build without fault points has neither: the sweeps are left out,
// as configuring says.
const std::vector<bool> injectors = {
#ifndef LUMPGRAFT_NOSTRACE
    false,
#endif
#ifdef LUMPGRAFT_FAULTPOINTS
    true,
#endif
};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FaultSweep);
INSTANTIATE_TEST_SUITE_P(, FaultSweep, ::testing::ValuesIn(injectors),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "FromInside" : "Strace";
                         });

TEST_P(FaultSweep, SmallFileIntoDefaultLevel)
{
    survivesfaults(graft(makewad(twolevels()), pattern(100), 0), true);
    survivespowerloss(graft(makewad(twolevels()), pattern(100), 0));
}

TEST_P(FaultSweep, FilesSpanningManySectors)
{
    survivesfaults(graft(makewad(twolevels(), "IWAD"), pattern(3 << 20), 0));
    survivespowerloss(graft(makewad(twolevels(), "IWAD"), pattern(20000), 0));
}

TEST_P(FaultSweep, DirectoryNotLast)
{
    const std::string before = makewad(twolevels(), "PWAD", "BYTES AFTER THE DIRECTORY");
    survivesfaults(graft(before, pattern(100), 4, {"MAP02"}), true);
    survivespowerloss(graft(before, pattern(1000), 4, {"MAP02"}));
}

TEST_P(FaultSweep, EmptyFile)
{
    survivesfaults(graft(makewad(twolevels()), "", 0));
    survivespowerloss(graft(makewad(twolevels()), "", 0));
}

TEST_P(FaultSweep, TwoGraftsInARow)
{
    const std::string once = survivespowerloss(graft(makewad(twolevels()), pattern(700), 0));
    survivespowerloss(graft(once, pattern(300), 4, {"MAP02"}));
}

// Compaction: after two grafts into one level (the first graft's bytes are
// reclaimed, the second's move down), and on an archive whose entries share
// and overlap data that moves.
TEST_P(FaultSweep, CompactionAfterTwoGrafts)
{
    const std::string once = grafted(makewad(twolevels()), 4, pattern(700));
    const std::string twice = grafted(once, 4, pattern(900));
    survivesfaults(compaction(twice), true);
    survivespowerloss(compaction(twice));
}

TEST_P(FaultSweep, CompactionOfSharedAndOverlappingData)
{
    std::vector<lump> lumps = twolevels();
    lumps.insert(lumps.begin() + 1, {"DEAD", pattern(2000)});
    std::string w = makewad(lumps);
    // DEAD's bytes become unreferenced; LINEDEFS shares THINGS' bytes, and
    // SECTORS overlaps the end of THINGS and the start of LINEDEFS.
    const int32_t dir = get32(w, 8);
    const int32_t things = get32(w, size_t(dir + 16 * 2));
    w.replace(size_t(dir + 16), 16, record(12, 0, "DEAD"));
    w.replace(size_t(dir + 16 * 3), 8, le32(things) + le32(10));
    w.replace(size_t(dir + 16 * 4), 8, le32(things + 6) + le32(9));
    survivesfaults(compaction(w), true);
    survivespowerloss(compaction(w));
}

// Unreferenced bytes just before the directory: no lump moves, and the
// final directory overlaps the old one's place.
TEST_P(FaultSweep, CompactionOfAGapBeforeTheDirectory)
{
    std::vector<lump> lumps = twolevels();
    for (const char *name : {"SIDEDEFS", "VERTEXES", "SEGS", "NODES"})
        lumps.push_back({name, pattern(24)});
    const std::string w = makewad(lumps);
    const size_t dir = size_t(get32(w, 8));
    const std::string gapped = w.substr(0, 8) + le32(int64_t(dir) + 100) +
                               w.substr(12, dir - 12) + std::string(100, '\0') + w.substr(dir);
    survivesfaults(compaction(gapped), true);
    survivespowerloss(compaction(gapped));
}

// Two spans moved down by different distances (gaps of 5 and 9 bytes after
// lumps at 12 and 27): a failure between the moves leaves the parked directory.
TEST_P(FaultSweep, CompactionMovingSpansByDifferentDistances)
{
    std::string w = makewad({{"A", pattern(10)}, {"GAP", pattern(5)}, {"B", pattern(40)},
                             {"GAP", pattern(9)}, {"C", pattern(30)}});
    for (size_t gap : {1, 3})
        w.replace(size_t(get32(w, 8)) + 16 * gap, 8, le32(12) + le32(0));
    survivesfaults(compaction(w), true);
    survivespowerloss(compaction(w));
}

// Directory edits through the library: a removal in a directory of many
// sectors, whose later entries move up over the one the header points at; a
// rename; a removal whose data the directory then takes the place of, also
// where that data ends the file; an entry added when lump data follows the
// directory, which goes to the end of the file; and two lumps whose data the
// program appends itself, added with one commit.
TEST_P(FaultSweep, DirectoryEditsThroughTheLibrary)
{
    std::vector<lump> many;
    for (int i = 0; i < 120; i++)
        many.push_back({"L" + std::to_string(1000 + i), pattern(size_t(1 + i % 5))});
    const std::string wide = makewad(many);
    const size_t dir = size_t(get32(wide, 8));
    std::string removed = wide;
    removed.replace(4, 4, le32(119));
    removed.replace(dir, 119 * 16, wide.substr(dir, 3 * 16) + wide.substr(dir + 4 * 16, 116 * 16));

    std::string renamed = makewad(twolevels());
    renamed.replace(size_t(get32(renamed, 8)) + 8, 8, std::string("MAP09\0\0\0", 8));

    // PLAYPAL's 4 bytes, just before the directory, take its first 4.
    const std::string two = makewad(twolevels());
    const size_t playpal = size_t(get32(two, 8)) - 4;
    const std::string dropped = header("PWAD", 7, int64_t(playpal)) +
                                two.substr(12, playpal - 12) + two.substr(playpal + 4, 7 * 16) +
                                two.substr(playpal + 7 * 16);

    // THINGS' data after the directory; the new entry empty, at 0.
    const std::string dirfirst = header("PWAD", 2, 12) + record(0, 0, "MAP01") +
                                 record(44, 4, "THINGS") + "tttt";
    const std::string added = header("PWAD", 3, 48) + dirfirst.substr(12) +
                              record(0, 0, "MAP01") + record(44, 4, "THINGS") +
                              record(0, 0, "NEWONE");

    const std::string addedtwo =
        header("PWAD", 10, int64_t(two.size()) + 10) + two.substr(12) + "ONELUMPTWO" +
        two.substr(playpal + 4) + record(int64_t(two.size()), 3, "ONE") +
        record(int64_t(two.size()) + 3, 7, "LUMPTWO");

    for (const job &j : {edit(wide, {"--remove", "L1003"}, removed),
                         edit(makewad(twolevels()), {"--rename", "MAP01", "MAP09"}, renamed),
                         edit(two, {"--dropinto", "PLAYPAL"}, dropped, 4),
                         edit(dirfirst, {"--dropinto", "THINGS"},
                              header("PWAD", 1, 44) + dirfirst.substr(12, 32) +
                                  record(0, 0, "MAP01"), 4),
                         edit(dirfirst, {"--add", "NEWONE"}, added),
                         edit(two, {"--addlumps", "ONE", "LUMPTWO"}, addedtwo, 0, "ONELUMPTWO")}) {
        SCOPED_TRACE(j.argv[2]);
        survivesfaults(j, true);
        survivespowerloss(j);
    }
}

// The fault points alone: strace counts the calls of the whole process
// itself, and the interruption table hangs up through it.
#ifdef LUMPGRAFT_FAULTPOINTS
class FaultInside : public FaultTest {
protected:
    void SetUp() override
    {
        inprocess = true;
        FaultTest::SetUp();
    }
};

// The command and the library count their calls together, as strace does:
// a fault at the run's last fstat, the library's, fails it.
TEST_F(FaultInside, OnePlanForTheWholeRun)
{
    job j = graft(makewad(twolevels()), pattern(100), 0);
    std::istringstream trace(traced(j));
    int fstats = 0;
    for (std::string line; std::getline(trace, line);)
        fstats += line.starts_with("newfstatat(");
    writefile(wadpath, j.before);
    const result r = runwith(j.argv, {{"newfstatat", "EIO", fstats}});
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_TRUE(samebytes(readfile(wadpath), j.before));
}

// The user's hanging up (SIGHUP; on Windows the closing of the console
// window, which gives a few seconds) ends a run after the park as Ctrl-C
// does: undone, said, and ended by it.
TEST_F(FaultInside, HangingUpEndsTheRunUndone)
{
    const std::string before = makewad(twolevels());
    writefile(wadpath, before);
    writefile(filepath, pattern(100));
    const result r = runwith(command({}), {{"fdatasync", "hangup", 2}});
#ifdef _WIN32
    const int status = int(0xC000013AU); // a console's interruption
    const std::string name = "the closing of the console window";
#else
    const int status = 128 + SIGHUP;
    const std::string name = "SIGHUP";
#endif
    EXPECT_EQ(r.status, status);
    EXPECT_TRUE(r.err.ends_with(wadpath + ": interrupted by " + name + "; the archive is as it was\n"))
        << r.err;
    EXPECT_TRUE(samebytes(readfile(wadpath), before));
}
#endif

// The tests below watch the command from outside only.
#ifndef LUMPGRAFT_NOSTRACE
// An interruption (Ctrl-C, a kill) ends the run as a failure does, undone,
// and by the same signal, after one line that says what the archive holds:
// while a large level file streams, after the park, a second one of
// another kind during the undo (the first counts), and once a compaction
// moves data over the old places, which keeps the parked directory. A
// signal ignored when the run started (nohup, a background job) stays so.
// A program whose handler passes signals on to the library: the signal is
// named, and one outside a change, or while the program waits for the
// lock another holds, ends it at once, with nothing written or said.
TEST_F(FaultTest, InterruptionsEndTheRunAsAFailureDoes)
{
    const std::string before = makewad(twolevels()), large = pattern((size_t{1} << 20) + 5000);
    const std::string loose = grafted(grafted(before, 4, pattern(3000)), 4, pattern(100));
    struct interruption {
        std::string wad;
        std::vector<std::string> injects;
        int status;
        std::string holds;
        bool ignored = false, program = false, held = false;
    };
    const std::string asitwas = "the archive is as it was\n";
    const std::vector<interruption> cases = {
        {before, {"read:signal=SIGINT:when=2"}, 128 + SIGINT, "SIGINT; " + asitwas},
        {before, {"fdatasync:signal=SIGTERM:when=2"}, 128 + SIGTERM, "SIGTERM; " + asitwas},
        {before, {"read:signal=SIGINT:when=2", "pwrite64:signal=SIGTERM:when=4"}, 128 + SIGINT,
         "SIGINT; " + asitwas},
        {loose, {"fdatasync:signal=SIGHUP:when=3"}, 128 + SIGHUP,
         "SIGHUP; the archive is whole, with the lumps it had, in a longer file that "
         "compacting it shortens\n"},
        {before, {"fdatasync:signal=SIGTERM:when=4"}, 128 + SIGTERM,
         "SIGTERM; the change had taken effect\n"},
        {before, {"read:signal=SIGINT:when=2"}, 0, "", true},
        {before, {"pread64:signal=SIGUSR1:when=1"}, 128 + SIGUSR1, "", false, true},
        {before, {"fdatasync:signal=SIGUSR1:when=2"}, 128 + SIGUSR1, "SIGUSR1; " + asitwas,
         false, true},
        {before, {"flock:signal=SIGINT:when=1"}, 128 + SIGINT, "", false, true, true},
    };
    writefile(filepath, large);
    for (const interruption &c : cases) {
        SCOPED_TRACE(c.injects.back());
        writefile(wadpath, c.wad);
        std::vector<std::string> options = {"-o", "/dev/null", "-P", filepath, "-e",
                                            "trace=read,pread64,pwrite64,fdatasync,flock"};
        for (const std::string &inject : c.injects)
            options.insert(options.end(), {"-e", "inject=" + inject});
        std::vector<std::string> argv = c.wad == loose ? compaction(loose).argv
                                        : c.program    ? edit(before, {"MAP01", "text"}, "").argv
                                                       : command({});
        if (c.ignored)
            argv.insert(argv.begin(), {"sh", "-c", "trap '' INT; exec \"$0\" \"$@\""});
        const process holder = c.held ? spawn({"flock", wadpath, "sleep", "10"}, path("h"), path("h"))
                                      : 0;
        while (holder && run(dir, {"flock", "-n", wadpath, "true"}).status == 0) {
        }
        const result r = run(dir, straced(wadpath, options, argv));
        if (holder)
            kill(holder, SIGTERM), reap(holder);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.signaled, c.status != 0) << "it must end by the signal itself";
        EXPECT_TRUE(c.holds.empty() ? r.err.empty()
                                    : r.err.ends_with(wadpath + ": interrupted by " + c.holds))
            << r.err;
        const std::string now = readfile(wadpath);
        const bool grafts = c.ignored || c.holds.ends_with("effect\n");
        EXPECT_TRUE(c.wad == loose ? wadiswhole(now) && lumpsof(now) == lumpsof(loose)
                                   : samebytes(now, grafts ? grafted(before, 0, large) : before));
    }
}

// A failure after the park, with standard input and one output stream
// closed: the messages must not land on the parked directory that the
// header points at.
TEST_F(FaultTest, FailureAfterTheParkWithAStreamClosed)
{
    const std::string before = makewad(twolevels());
    writefile(filepath, pattern(100));
    for (const char *closing : {"<&- >&-", "<&- 2>&-"}) {
        SCOPED_TRACE(closing);
        writefile(wadpath, before);
        const result r = run(dir, straced(wadpath,
                                          {"-o", "/dev/null", "-f", "-e", "trace=fdatasync", "-e",
                                           "inject=fdatasync:error=EIO:when=3"},
                                          {"sh", "-c", std::string("exec \"$0\" \"$@\" ") + closing,
                                           LUMPGRAFT_BIN, wadpath, filepath}));
        EXPECT_EQ(r.status, 255);
        const std::string now = readfile(wadpath);
        EXPECT_TRUE(wadiswhole(now) && lumpsof(now) == twolevels()) << wadiswhole(now).message();
    }
}

// Reads of the level file are repeated when interrupted, and one that fails
// or ends early is the level file's fault. A small file is read before the
// archive is opened; a large one is read while it is stored, after the park,
// and the failed run then puts the archive back as it was.
TEST_F(FaultTest, LevelFileReadFaults)
{
    const std::string before = makewad(twolevels());
    struct readfault {
        size_t size;
        std::string inject;
        int status;
        std::string err;
    };
    const size_t large = (size_t{1} << 20) + 5000;
    const std::vector<readfault> cases = {
        {5000, "", 0, ""},
        {5000, "read:error=EINTR:when=1", 0, ""},
        {5000, "read:retval=0", 255, ": file ended after 0 of 5000 bytes\n"},
        {5000, "read:error=EIO", 255, ": read failed: Input/output error\n"},
        {large, "read:error=EINTR:when=2", 0, ""},
        {large, "read:retval=0:when=2", 255, ": file ended after 1048576 of 1053576 bytes\n"},
        {large, "read:error=EIO:when=1", 255, ": read failed: Input/output error\n"},
    };
    for (const readfault &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + c.inject);
        const std::string file = pattern(c.size);
        writefile(filepath, file);
        writefile(wadpath, before);
        std::vector<std::string> options = {"-o", "/dev/null", "-e", "trace=read"};
        if (!c.inject.empty())
            options.insert(options.end(), {"-e", "inject=" + c.inject});
        const result r = run(dir, straced(filepath, options, command({})));
        EXPECT_EQ(r.status, c.status);
        // A large file fails during the change, which says what it left.
        EXPECT_EQ(r.err, c.err.empty() ? ""
                         : filepath + c.err + (c.size == large ? wadpath + ": the archive is as "
                                                                           "it was\n" : ""));
        EXPECT_TRUE(samebytes(readfile(wadpath), c.status == 0 ? grafted(before, 0, file) : before));
    }

    // A large file rewritten while its second block's read waits: no mix of
    // the two versions is stored, and the failure comes after the park.
    writefile(filepath, pattern(large));
    writefile(wadpath, before);
    const process child = spawn(
        straced(filepath,
                {"-o", "/dev/null", "-e", "trace=read", "-e", "inject=read:delay_enter=1500000:when=2"},
                command({})),
        path("out"), path("err"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    writefile(filepath, pattern(large).replace(large - 1, 1, "!"));
    EXPECT_EQ(reap(child), 255);
    EXPECT_EQ(readfile(path("err")), filepath + ": file changed while being read\n" + wadpath +
                                         ": the archive is as it was\n");
    EXPECT_TRUE(samebytes(readfile(wadpath), before));
}

#endif

} // namespace
