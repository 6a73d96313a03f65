// The archive survives whatever stops a run: every write, seek, sync,
// truncate and close on it is made to fail (ENOSPC, EIO) or to kill the
// process, one call at a time, under strace. Concurrent runs take turns.

#include "testwad.h"

#include <map>
#include <sstream>

using namespace testwad;

namespace {

const char *const watchedcalls[] = {"write", "pwrite64", "lseek", "fsync",
                                    "fdatasync", "ftruncate", "close"};
const char *const faults[] = {"error=ENOSPC", "error=EIO", "signal=SIGKILL"};

bool havestrace()
{
    return system("strace -V >/dev/null 2>&1") == 0;
}

class FaultTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        if (!havestrace()) {
            const char *ci = getenv("CI");
            if (ci && std::string(ci) == "true")
                FAIL() << "strace is missing (Debian package strace)";
            GTEST_SKIP() << "strace is missing (Debian package strace)";
        }
    }

    std::vector<std::string> straced(const std::string &wadpath,
                                     const std::string &filepath,
                                     const std::vector<std::string> &options,
                                     const std::vector<std::string> &extra)
    {
        // LeakSanitizer cannot work under ptrace; the other checks can.
        std::vector<std::string> argv = {"strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0",
                                         "-P", wadpath};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {LUMPGRAFT_BIN, wadpath, filepath});
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    // How many times a normal run makes each watched call on the archive.
    std::map<std::string, int> countcalls(const std::string &before,
                                          const std::string &file,
                                          const std::vector<std::string> &extra)
    {
        const std::string wadpath = path("count.wad"), filepath = path("level.lmp");
        writefile(wadpath, before);
        writefile(filepath, file);
        std::string calls;
        for (const char *c : watchedcalls)
            calls += std::string(calls.empty() ? "" : ",") + c;
        const result r = run(dir, straced(wadpath, filepath,
                                          {"-o", path("trace"), "-e", "trace=" + calls},
                                          extra));
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, int> counts;
        std::istringstream trace(readfile(path("trace")));
        for (std::string line; std::getline(trace, line);)
            counts[line.substr(0, line.find('('))]++;
        return counts;
    }

    // Inject every fault at every watched call; each run must leave the old
    // or the new archive and say truthfully which.
    void survives(const std::string &before, const std::string &file, int entry,
                  const std::vector<std::string> &extra = {})
    {
        const std::string after = grafted(before, entry, file);
        const std::vector<lump> oldlumps = lumpsof(before), newlumps = lumpsof(after);
        const std::string wadpath = path("game.wad"), filepath = path("level.lmp");
        writefile(filepath, file);

        int points = 0, survived = 0;
        for (const auto &[call, count] : countcalls(before, file, extra)) {
            for (int k = 1; k <= count; k++) {
                for (const char *fault : faults) {
                    SCOPED_TRACE(call + ":" + fault + ":when=" + std::to_string(k));
                    writefile(wadpath, before);
                    const std::string inject =
                        "inject=" + call + ":" + fault + ":when=" + std::to_string(k);
                    const result r = run(dir, straced(wadpath, filepath,
                                                      {"-o", "/dev/null", "-e",
                                                       "trace=" + call, "-e", inject},
                                                      extra));
                    const std::string now = readfile(wadpath);
                    const bool whole = wadiswhole(now);
                    const bool isold = whole && lumpsof(now) == oldlumps;
                    const bool isnew = whole && lumpsof(now) == newlumps;
                    const bool said_ok = r.out.find(" ok\n") != std::string::npos;
                    // A failed call ends the run with a message naming the
                    // archive, unless the C library recovered from it and the
                    // run really did complete.
                    bool truthful;
                    if (std::string(fault).starts_with("signal"))
                        truthful = r.status == 128 + SIGKILL && !said_ok;
                    else
                        truthful = (r.status == 255 && !said_ok &&
                                    r.err.find(wadpath) != std::string::npos) ||
                                   (r.status == 0 && said_ok && now == after);
                    EXPECT_TRUE(whole) << wadiswhole(now).message();
                    EXPECT_TRUE(isold || isnew);
                    EXPECT_TRUE(truthful) << r.status << "\n" << r.out << r.err;
                    points++;
                    survived += (isold || isnew) && truthful;
                }
            }
        }
        EXPECT_GT(points, 0);
        std::cout << survived << " of " << points << " fault points survived\n";
        EXPECT_EQ(survived, points);

        // The same run without faults gives exactly the new archive.
        writefile(wadpath, before);
        std::vector<std::string> argv = {LUMPGRAFT_BIN, wadpath, filepath};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const result r = run(dir, argv);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readfile(wadpath), after);
    }
};

std::string pattern(size_t len)
{
    std::string s(len, '\0');
    for (size_t i = 0; i < len; i++)
        s[i] = static_cast<char>((i * 7919) >> 5);
    return s;
}

TEST_F(FaultTest, SmallFileIntoDefaultLevel)
{
    survives(makewad(twolevels()), pattern(100), 0);
}

TEST_F(FaultTest, MultiMegabyteFile)
{
    survives(makewad(twolevels(), "IWAD"), pattern(3 << 20), 0);
}

TEST_F(FaultTest, DirectoryNotLast)
{
    survives(makewad(twolevels(), "PWAD", "BYTES AFTER THE DIRECTORY"), pattern(100), 4,
             {"MAP02"});
}

TEST_F(FaultTest, EmptyFile)
{
    survives(makewad(twolevels()), "", 0);
}

TEST_F(ScratchTest, ConcurrentRunsTakeTurns)
{
    const std::string before = makewad(twolevels());
    const std::string wadpath = path("game.wad");
    writefile(wadpath, before);

    constexpr int runs = 16;
    std::vector<std::string> files;
    std::vector<pid_t> pids;
    size_t total = 0;
    for (int i = 0; i < runs; i++) {
        files.push_back(std::string(size_t(1000 + 37 * i), char('A' + i)));
        total += files.back().size();
        const std::string filepath = path("f" + std::to_string(i));
        writefile(filepath, files.back());
        const std::string out = path("out" + std::to_string(i));
        pids.push_back(spawn({LUMPGRAFT_BIN, wadpath, filepath}, out, out));
    }
    for (int i = 0; i < runs; i++)
        EXPECT_EQ(reap(pids[size_t(i)]), 0) << readfile(path("out" + std::to_string(i)));

    const std::string after = readfile(wadpath);
    ASSERT_TRUE(wadiswhole(after));
    EXPECT_EQ(after.size(), before.size() + total);
    // Every run's bytes reached the archive, and the level holds the last one's.
    for (const auto &f : files)
        EXPECT_NE(after.find(f), std::string::npos);
    const std::vector<lump> lumps = lumpsof(after);
    EXPECT_NE(std::find(files.begin(), files.end(), lumps[0].data), files.end());
    std::vector<lump> rest(lumps.begin() + 1, lumps.end());
    std::vector<lump> want = twolevels();
    EXPECT_EQ(rest, std::vector<lump>(want.begin() + 1, want.end()));
}

} // namespace
