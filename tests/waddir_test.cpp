// SPDX-License-Identifier: MIT
// Library tests: reading and writing header and directory, entry names, level
// queries, editing, and the one system call whose behaviour they cannot see
// through the command: the lock, which a program takes while the command runs.

#include "archives.h"
#include "layout.h"
#include "os.h"
#include "processes.h"
#include "waddir.h"

#include <chrono>
#include <functional>
#include <random>
#include <thread>
#ifdef __linux__
#include <sys/file.h>
#endif
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace testwad;

namespace {

// Each test opens its archive as the tool does and starts from a fresh
// process-wide state.
class WadTest : public ScratchTest {
protected:
    std::string wadpath;

    void SetUp() override
    {
        ScratchTest::SetUp();
        wadpath = path("test.wad");
        wad = 0;
        numentries = 0;
        diroffset = 0;
        memset(wadentry, 0, sizeof wadentry);
    }
    void TearDown() override
    {
        wadonerror(nullptr, nullptr);
        closewad();
        ScratchTest::TearDown();
    }

    void openwad(const std::string &bytes)
    {
        closewad();
        writefile(wadpath, bytes);
        wadfp = fopen(wadpath.c_str(), "r+b");
        ASSERT_NE(wadfp, nullptr);
        wadname = wadpath.c_str();
    }
    void closewad()
    {
        if (wadfp) {
            ASSERT_EQ(fclose(wadfp), 0);
        }
        wadfp = nullptr;
    }
    // readwad with its standard output.
    int readwad_out(std::string &out)
    {
        testing::internal::CaptureStdout();
        const int r = readwad();
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

// A signal named in messages by its own name, where the system has one.
#ifdef SIGUSR1
constexpr int namedsignal = SIGUSR1;
const char *const namedsignalname = "SIGUSR1";
#else
constexpr int namedsignal = SIGTERM;
const char *const namedsignalname = "SIGTERM";
#endif

wadentry_t named(const std::string &name)
{
    wadentry_t e{};
    memcpy(e.name, name.data(), std::min<size_t>(name.size(), 8));
    return e;
}

TEST_F(WadTest, DamagedHeadersAreRefusedWithoutTouchingTheTable)
{
    const std::string dir = record(12, 0, "A") + record(12, 0, "B");
    struct damaged {
        std::string bytes, out;
    };
    const std::vector<damaged> cases = {
        {"", "File not IWAD or PWAD!\n"},
        {"PWA", "File not IWAD or PWAD!\n"},
        {std::string("PWAD\2\0\0", 7), "File too short for a WAD header (7 bytes)!\n"},
        {header("PWAD", 1, 12), "Directory of 1 entries at 12 runs past the end of the file "
                                "(12 bytes)!\n"},
        {header("pwad", 2, 12) + dir, "File not IWAD or PWAD!\n"},
        {header("IwAD", 2, 12) + dir, "File not IWAD or PWAD!\n"},
        {header("PWA\0", 2, 12) + dir, "File not IWAD or PWAD!\n"},
        {header("PWAD", 5001, 12) + dir, "Cannot handle > 5000 entry wads!\n"},
        {header("PWAD", INT32_MAX, 12) + dir, "Cannot handle > 5000 entry wads!\n"},
        {header("PWAD", -1, 12) + dir, "Negative entry count -1!\n"},
        {header("PWAD", INT32_MIN, 12) + dir, "Negative entry count -2147483648!\n"},
        {header("PWAD", 2, -1) + dir, "Negative directory offset -1!\n"},
        {header("PWAD", 2, 0) + dir, "Directory at 0 overlaps the header!\n"},
        {header("PWAD", 3, 12) + dir,
         "Directory of 3 entries at 12 runs past the end of the file (44 bytes)!\n"},
        {header("PWAD", 2, INT32_MAX) + dir,
         "Directory of 2 entries at 2147483647 runs past the end of the file (44 bytes)!\n"},
    };
    // Each refusal follows a sound archive loaded from the same file, whose
    // directory must not outlive the refusal.
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        openwad(makewad(twolevels()));
        ASSERT_EQ(readwad(), 0);
        memset(wadentry, 0, sizeof wadentry);
        openwad(c.bytes);
        wadentry[0] = named("SENTINEL");
        std::string out;
        EXPECT_EQ(readwad_out(out), 1);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(std::string(wadentry[0].name, 8), "SENTINEL");
        EXPECT_EQ(wadentry[1].filepos, 0);

        // No directory is loaded: lookups find nothing in the stale table,
        // and editing refuses without writing.
        wadentry[1] = named("THINGS");
        EXPECT_EQ(entry_exist("SENTINEL"), -1);
        EXPECT_EQ(islevel(0), 0);
        EXPECT_EQ(findlevelsize("SENTINEL"), -1);
        testing::internal::CaptureStdout();
        addentry(named("NEW"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Cannot add NEW: the archive was refused, no directory is loaded!\n");
        EXPECT_EXIT(cachelump(0), testing::ExitedWithCode(255), "no directory is loaded");
        EXPECT_EXIT(compactwad(), testing::ExitedWithCode(255), "no directory of this file");
        EXPECT_EXIT(wadreplace(0, "x", 1), testing::ExitedWithCode(255),
                    "no directory of this file");
        EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "^writewad: ");
        closewad();
        EXPECT_TRUE(samebytes(readfile(wadpath), c.bytes));
    }
    // A refused count is kept as read.
    openwad(header("PWAD", 6000, 12) + dir);
    std::string out;
    readwad_out(out);
    EXPECT_EQ(numentries, 6000);
    openwad(std::string("PWAD\2\0\0", 7)); // no count to read: the old one stays
    readwad_out(out);
    EXPECT_EQ(numentries, 6000);
}

TEST_F(WadTest, SoundHeadersLoad)
{
    std::string out;
    // Only the first four bytes are the magic; nothing follows a count of 0.
    openwad(header("PWAD", 0, 12));
    wadentry[0] = named("SENTINEL");
    EXPECT_EQ(readwad_out(out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(wad, 1);
    EXPECT_EQ(std::string(wadentry[0].name, 8), "SENTINEL");
    openwad(header("PWAD", 0, 0)); // an empty directory may be anywhere
    EXPECT_EQ(readwad_out(out), 0);

    // A read that fails keeps its reason (Windows' C runtime takes a read
    // of a write-only stream for its end).
    closewad();
    wadfp = fopen(wadpath.c_str(), "ab");
    if (!onwindows) {
        EXPECT_EXIT(readwad(), testing::ExitedWithCode(255), "readwad: .*: read failed: ");
    }

    const std::string w = makewad(twolevels(), "IWAD");
    openwad(w);
    EXPECT_EQ(readwad_out(out), 0);
    EXPECT_EQ(wad, 0);
    EXPECT_EQ(numentries, 8);
    EXPECT_EQ(diroffset, get32(w, 8));
    EXPECT_EQ(std::string(wadentry[6].name, 8), std::string("LINEDEFS"));
    EXPECT_EQ(wadentry[6].size, 6);

    // A full table of 5000 entries.
    std::string big = header("PWAD", 5000, 12);
    for (int i = 0; i < 5000; i++)
        big += record(12, 0, "E" + std::to_string(i));
    openwad(big);
    EXPECT_EQ(readwad_out(out), 0);
    EXPECT_EQ(entry_exist("E4999"), 4999);
}

TEST_F(WadTest, WritingBackWithoutChangesKeepsEveryByte)
{
    for (const char *magic : {"IWAD", "PWAD"}) {
        const std::string w = makewad(twolevels(), magic);
        openwad(w);
        std::string out;
        ASSERT_EQ(readwad_out(out), 0);
        writewad();
        closewad();
        EXPECT_TRUE(samebytes(readfile(wadpath), w));
    }
}

TEST_F(WadTest, StreamsWithoutADescriptorWork)
{
    std::string w = makewad(twolevels());
    const std::string before = w;
    wadfp = memstream(w);
    if (!wadfp && onwindows)
        GTEST_SKIP() << "Windows has no streams in memory";
    ASSERT_NE(wadfp, nullptr);
    std::string out;
    EXPECT_EQ(readwad_out(out), 0);
    EXPECT_EQ(entry_exist("PLAYPAL"), 7);
    EXPECT_EXIT(wadreplace(0, "x", 1), testing::ExitedWithCode(255), "needs a file, not a stream");
    writewad();
    closewad();
    EXPECT_TRUE(samebytes(w, before));
}

TEST_F(WadTest, DirectoryIsWrittenAtTheOffsetOverWhateverIsThere)
{
    // Over lump data it lists, it would make those lumps hold its records:
    // that is refused, writing nothing. Over data no entry lists, it goes.
    openwad(makewad(twolevels()));
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    diroffset = 12;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255),
                "^writewad: .*: the directory at 12 would go over the data of entry 1 \\(THINGS\\); "
                "add entries with addentry, or move diroffset past the data\n.*: nothing was written\n$");
    EXPECT_TRUE(samebytes(readfile(wadpath), makewad(twolevels())));
    for (int i = 0; i < numentries; i++)
        wadentry[i].size = 0;
    writewad();
    closewad();
    const std::string w = readfile(wadpath);
    EXPECT_EQ(get32(w, 8), 12);
    EXPECT_EQ(w.substr(12, 16), record(12, 0, "MAP01"));
    EXPECT_EQ(w.size(), makewad(twolevels()).size()); // nothing moved or cut
    openwad(w);
    ASSERT_EQ(readwad_out(out), 0);
    numentries = 0; // an empty directory past the end would extend nothing
    diroffset = 1000;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "refusing to write 0 entries at offset 1000");
}

TEST_F(WadTest, WritingAnImpossibleStateIsFatal)
{
    openwad(makewad(twolevels()));
    numentries = -1;
    wadname = nullptr;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255),
                "^writewad: archive: refusing to write -1 entries");
    wadname = wadpath.c_str();
    numentries = 5001;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "refusing to write 5001 entries");
    // A directory over the header would be no archive; one past 2 GiB could
    // not be pointed at.
    numentries = 8;
    diroffset = 4;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "refusing to write 8 entries at offset 4");
    diroffset = INT32_MAX - 100;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "WAD offsets stop at 2 GiB");
    // In a process of its own, where no directory was ever loaded (a test
    // run by qemu-user cannot start itself again).
#ifndef LUMPGRAFT_EMULATED
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    numentries = 0;
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "no directory of this file is loaded");
    EXPECT_TRUE(samebytes(readfile(wadpath), makewad(twolevels())));
#endif
}

TEST(ErrorExit, FlushesStandardOutputThenPrintsExactlyTheMessage)
{
    // Standard output goes to a file, fully buffered: only a flush writes it.
    const std::string out = testing::TempDir() + "errorexit.out";
    EXPECT_EXIT(
        {
            if (!freopen(out.c_str(), "wb", stdout))
                abort();
            printf("progress line\n");
            atexit([] { fputs(" and an atexit function ran", stderr); });
            errorexit("level %s not found (%i)", "E1M9", 7);
        },
        testing::ExitedWithCode(255), "^level E1M9 not found \\(7\\)$");
    EXPECT_EQ(readfile(out), "progress line\n");
    std::filesystem::remove(out);
    // A handler that returns leaves errorexit to print and exit as before.
    wadonerror([](const char *, void *) {}, nullptr);
    EXPECT_EXIT(errorexit("returned\n"), testing::ExitedWithCode(255), "^returned\n$");
    wadonerror(nullptr, nullptr);
}

TEST_F(WadTest, NameMatching)
{
    numentries = 6;
    wadentry[0] = named(std::string("MAP01\0xy", 8)); // bytes after the NUL are ignored
    wadentry[1] = named("THINGS");
    wadentry[2] = named("LINEDEFS");      // eight characters, no terminator
    wadentry[3] = named("THINGS");        // a repeated name: the first wins
    wadentry[4] = named(std::string(1, '\0'));
    wadentry[5] = named("things");
    EXPECT_EQ(entry_exist("MAP01"), 0);
    EXPECT_EQ(entry_exist("MAP0"), -1);   // a shorter argument needs a NUL after it
    EXPECT_EQ(entry_exist("MAP011"), -1);
    EXPECT_EQ(entry_exist("THINGS"), 1);
    EXPECT_EQ(entry_exist("things"), 5);
    EXPECT_EQ(entry_exist("LINEDEFS"), 2);
    EXPECT_EQ(entry_exist("LINEDEFSXYZ"), 2);
    EXPECT_EQ(entry_exist("LINEDEF"), -1);
    EXPECT_EQ(entry_exist(""), 4);
    EXPECT_EQ(entry_exist("SECTORS"), -1);

    const wadentry_t found = findinfo("LINEDEFS");
    EXPECT_EQ(memcmp(&found, &wadentry[2], sizeof found), 0);
    const wadentry_t first = findinfo("MAP01");
    EXPECT_EQ(memcmp(&first, &wadentry[0], sizeof first), 0);
    const wadentry_t missing = findinfo("SECTORS");
    EXPECT_EQ(missing.filepos, 0);
    EXPECT_EQ(missing.size, 0);
    EXPECT_EQ(std::string(missing.name, 8), std::string(8, '\0'));

    // Past the count, and with no directory at all, nothing matches.
    wadentry[6] = named("SECTORS");
    EXPECT_EQ(entry_exist("SECTORS"), -1);
    numentries = 0;
    EXPECT_EQ(entry_exist("MAP01"), -1);
    EXPECT_EQ(entry_exist(""), -1);
    // A count beyond the table stops at its end.
    numentries = 6000;
    EXPECT_EQ(entry_exist("NOSUCH"), -1);
}

TEST(ConvertString8, NamesBecomeTerminatedStringsInARing)
{
    EXPECT_STREQ(convert_string8(named("LINEDEFS")), "LINEDEFS");
    EXPECT_STREQ(convert_string8(named(std::string("MAP01\0xy", 8))), "MAP01");

    char *first = convert_string8(named("FIRST"));
    char *second = convert_string8(named("SECOND"));
    EXPECT_NE(first, second);
    for (int i = 0; i < 97; i++)
        convert_string8(named("OTHER"));
    EXPECT_STREQ(first, "FIRST"); // intact through 98 conversions
    EXPECT_EQ(convert_string8(named("AGAIN")), first);
    EXPECT_STREQ(first, "AGAIN");
}

// Two levels: MAP01 with all eleven level lumps, MAP02 with three, then an
// ordinary lump. Each lump's size is its index, so sums tell which counted.
std::vector<lump> levels()
{
    std::vector<lump> l = {{"MAP01", ""}};
    for (const char *n : {"THINGS", "LINEDEFS", "SIDEDEFS", "VERTEXES", "SEGS", "SSECTORS",
                          "NODES", "SECTORS", "REJECT", "BLOCKMAP", "BEHAVIOR"})
        l.push_back({n, std::string(l.size(), 'x')});
    for (const char *n : {"MAP02", "THINGS", "LINEDEFS", "SECTORS", "PLAYPAL"})
        l.push_back({n, std::string(l.size(), 'y')});
    return l;
}

TEST_F(WadTest, LevelStructureQueries)
{
    openwad(makewad(levels()));
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    ASSERT_EQ(numentries, 17);

    EXPECT_EQ(islevel(0), 1);
    EXPECT_EQ(islevel(1), 0);  // THINGS itself
    EXPECT_EQ(islevel(12), 1);
    EXPECT_EQ(islevel(11), 0); // only the next entry's name counts
    wadentry[17] = named("THINGS"); // a stale record just past the directory
    wadentry[17].size = 1000;
    EXPECT_EQ(islevel(16), 0);      // the last entry
    for (int n : {-1, INT32_MIN, 17, 4999, 5000, INT32_MAX})
        EXPECT_EQ(islevel(n), 0) << n;

    for (int i = 1; i <= 11; i++)
        EXPECT_EQ(islevelentry(convert_string8(wadentry[i])), 1) << i;
    EXPECT_EQ(islevelentry("behavior"), 0);
    EXPECT_EQ(islevelentry("THINGS "), 0);
    EXPECT_EQ(islevelentry("MAP01"), 0);
    EXPECT_EQ(islevelentry(convert_string8(wadentry[9])), 1);

    // Exactly the ten entries that follow: MAP01 leaves out its eleventh lump
    // (sizes 1..10); MAP02's ten run off the directory's end (13..16).
    EXPECT_EQ(findlevelsize("MAP01"), 55);
    EXPECT_EQ(findlevelsize("MAP02"), 13 + 14 + 15 + 16);
    EXPECT_EQ(findlevelsize("REJECT"), 10 + 11 + 12 + 13 + 14 + 15 + 16);
    EXPECT_EQ(findlevelsize("MAP03"), -1);

    // A sum that does not fit in 32 bits is not wrapped.
    wadentry[1].size = INT32_MAX;
    EXPECT_EQ(findlevelsize("MAP01"), -1);
}

TEST_F(WadTest, AddEntry)
{
    // With the directory last, it grows in place by one record.
    const std::string w = makewad(twolevels());
    openwad(w);
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    // Names already present, as the last entry and as the first, are warned
    // about and appended all the same; lookups keep finding the older one.
    for (const char *name : {"PLAYPAL", "MAP01"}) {
        wadentry_t e = named(name);
        e.filepos = 12;
        e.size = 4;
        testing::internal::CaptureStdout();
        addentry(e);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("\tWarning! Resource ") + name + " already exists!\n");
    }
    EXPECT_EQ(numentries, 10);
    EXPECT_EQ(entry_exist("PLAYPAL"), 7);
    EXPECT_EQ(entry_exist("MAP01"), 0);
    testing::internal::CaptureStdout();
    addentry(named("COLORMAPXY"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    closewad();
    std::string after = readfile(wadpath);
    EXPECT_EQ(after.substr(0, 4) + after.substr(8, w.size() - 8), w.substr(0, 4) + w.substr(8));
    EXPECT_EQ(get32(after, 4), 11);
    EXPECT_EQ(after.size(), w.size() + 48);
    EXPECT_EQ(after.substr(after.size() - 48),
              record(12, 4, "PLAYPAL") + record(12, 4, "MAP01") + record(0, 0, "COLORMAP"));

    // With bytes after the directory, the directory moves past them: the
    // new lump's data that the program wrote itself, not yet flushed.
    const std::string trailed = makewad(twolevels(), "PWAD", "LUMP DATA AFTER");
    openwad(trailed.substr(0, trailed.size() - 15));
    ASSERT_EQ(readwad_out(out), 0);
    ASSERT_EQ(fseek(wadfp, 0, SEEK_END), 0);
    ASSERT_EQ(fwrite("LUMP DATA AFTER", 15, 1, wadfp), 1u);
    addentry(named("EXTRA"));
    closewad();
    after = readfile(wadpath);
    ASSERT_TRUE(wadiswhole(after));
    EXPECT_EQ(after.substr(12, trailed.size() - 12), trailed.substr(12));
    EXPECT_EQ(get32(after, 8), int64_t(trailed.size()));
    std::vector<lump> want = twolevels();
    want.push_back({"EXTRA", ""});
    EXPECT_EQ(lumpsof(after), want);
}

TEST_F(WadTest, EditingStaysInsideTheTable)
{
    for (int count : {INT32_MIN, -1, 5000, 6000}) {
        SCOPED_TRACE(count);
        openwad(makewad(twolevels()));
        const std::string before = readfile(wadpath);
        numentries = count;
        for (int i = 0; i < MAXWADENTRIES; i++)
            wadentry[i] = named("FILL");
        wadentry[4999] = named("LAST");

        EXPECT_EQ(entry_exist("NOSUCH"), -1);
        EXPECT_EQ(findinfo("NOSUCH").size, 0);
        EXPECT_EQ(islevel(4998), 0);
        EXPECT_EQ(islevel(4999), 0);
        EXPECT_GE(findlevelsize("LAST"), -1);
        testing::internal::CaptureStdout();
        addentry(named("NEW"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Cannot add NEW: the directory holds " + std::to_string(count) +
                      " entries, the table at most 5000!\n");
        EXPECT_EQ(numentries, count);
        EXPECT_EXIT(cachelump(5000), testing::ExitedWithCode(255), "no entry 5000");
        closewad();
        EXPECT_TRUE(samebytes(readfile(wadpath), before));
    }
}

TEST_F(WadTest, CacheLump)
{
    std::vector<lump> l = twolevels();
    openwad(makewad(l));
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    for (int i = 0; i < numentries; i++) {
        unsigned char *buf = cachelump(i);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), l[size_t(i)].data.size()),
                  l[size_t(i)].data);
        free(buf);
    }

    // A size-0 lump reads nothing, wherever it claims to be in the file.
    wadentry[0].filepos = 1 << 30;
    free(cachelump(0));
    wadentry[0].filepos = -1;
    EXPECT_EXIT(cachelump(0), testing::ExitedWithCode(255), "lump of 0 bytes at -1 is impossible");

    EXPECT_EXIT(cachelump(-1), testing::ExitedWithCode(255),
                "^cachelump: .*: no entry -1 in a directory of 8 entries\n$");
    EXPECT_EXIT(cachelump(8), testing::ExitedWithCode(255), "no entry 8");
    wadentry[1].size = -5;
    EXPECT_EXIT(cachelump(1), testing::ExitedWithCode(255),
                "cachelump: entry 1 \\(THINGS\\): .*lump of -5 bytes at .* is impossible");
    wadentry[2].size = 1000;
    EXPECT_EXIT(cachelump(2), testing::ExitedWithCode(255),
                "cachelump: entry 2 \\(LINEDEFS\\): .*file ends before 1000 bytes");
}

TEST_F(WadTest, CopyWad)
{
    std::string w = makewad(twolevels(), "IWAD", std::string(200000, 'q'));
    w[100000] = '\0';
    openwad(w);
    copywad(path("copy.wad").c_str());
    EXPECT_TRUE(samebytes(readfile(path("copy.wad")), w));
    EXPECT_EQ(ftell(wadfp), long(w.size()));
    // The archive can still be read and written after a copy.
    std::string out;
    EXPECT_EQ(readwad_out(out), 0);
    writewad();

    writefile(path("copy.wad"), "an older, longer file than the copy will be........");
    openwad("PWAD");
    copywad(path("copy.wad").c_str());
    EXPECT_EQ(readfile(path("copy.wad")), "PWAD");
    // A copy is reported made only once it is synced: a FIFO, which cannot
    // be, takes the bytes and must fail the copy.
    if (const int reader = makefifo(path("fifo")); reader >= 0) {
        EXPECT_EXIT(copywad(path("fifo").c_str()), testing::ExitedWithCode(255),
                    "copywad: .*fifo: write failed: Invalid argument");
        os_close(reader);
    }

    EXPECT_EXIT(copywad(path("no/such/folder.wad").c_str()), testing::ExitedWithCode(255),
                "^copywad: Couldn't copy a wad \\(filename:.*/no/such/folder.wad\\)\n$");
    // Copying onto the archive itself, or a hard link to it, must not empty it.
    openwad(w);
    std::filesystem::create_hard_link(wadpath, path("link.wad"));
    for (const std::string &self : {wadpath, path("link.wad")})
        EXPECT_EXIT(copywad(self.c_str()), testing::ExitedWithCode(255),
                    "^copywad: .*wad is the archive itself\n$");
    EXPECT_TRUE(samebytes(readfile(wadpath), w));

    if (!onwindows) {
        EXPECT_EXIT(copywad("/dev/full"), testing::ExitedWithCode(255),
                    "copywad: /dev/full: write failed: No space left on device");
    }
    // Nor after a read of the archive that failed.
    closewad();
    wadfp = fopen(wadpath.c_str(), "ab");
    if (!onwindows) {
        EXPECT_EXIT(copywad(path("copy.wad").c_str()), testing::ExitedWithCode(255),
                    "copywad: .*: read failed: ");
    }
}

TEST_F(WadTest, CompactWad)
{
    // 12: A, shared by D | 16: 8 unreferenced bytes | 24: B, overlapped by
    // C | 2 bytes of padding | 34: E | directory at 36. Empty entries lie in
    // the data that moves, in the unreferenced gap, in the header and past
    // the end of the file.
    const std::string entries[] = {
        record(12, 4, "A"),  record(24, 6, "B"),  record(26, 6, "C"),
        record(12, 4, "D"),  record(34, 2, "E"),  record(28, 0, "INDATA"),
        record(20, 0, "INGAP"), record(0, 0, "ATZERO"), record(1000, 0, "PASTEND")};
    std::string dir;
    for (const std::string &e : entries)
        dir += e;
    const std::string shared = header("IWAD", 9, 36) + "AAAAxxxxxxxxBBBBBBCCyyEE" + dir;
    // Everything from B on moves down by 8: the overlap and the padding
    // stay, and so does the alignment of every offset modulo 4.
    const std::string compacted =
        header("IWAD", 9, 28) + "AAAABBBBBBCCyyEE" + record(12, 4, "A") + record(16, 6, "B") +
        record(18, 6, "C") + record(12, 4, "D") + record(26, 2, "E") + record(20, 0, "INDATA") +
        record(16, 0, "INGAP") + record(0, 0, "ATZERO") + record(28, 0, "PASTEND");
    struct compaction {
        std::string before, after;
        int64_t reclaimed;
    };
    std::string big(size_t{5} << 19, '\0'); // copied in three blocks
    for (size_t i = 0; i < big.size(); i++)
        big[i] = char(i % 251);
    const int64_t bigend = 112 + int64_t(big.size());
    const std::string gaps = "AAAAxxxxxxxxBBxx";
    const std::vector<compaction> cases = {
        {shared, compacted, 8},
        {compacted, compacted, 0},
        {makewad(twolevels(), "PWAD", "LEFT BEHIND"), makewad(twolevels()), 11},
        {header("PWAD", 0, 20) + "unused..", header("PWAD", 0, 12), 8},
        // A lump larger than a block of the copy moves whole.
        {header("PWAD", 2, bigend) + std::string(100, 'd') + big + record(12, 0, "DEAD") +
             record(112, int64_t(big.size()), "BIG"),
         makewad({{"DEAD", ""}, {"BIG", big}}), 100},
        // The directory first, and a lump that ends where the file does.
        {header("PWAD", 2, 12) + record(44, 4, "A") + record(60, 4, "B") + "AAAA" +
             std::string(12, 'x') + "BBBB",
         header("PWAD", 2, 20) + "AAAABBBB" + record(12, 4, "A") + record(16, 4, "B"), 12},
        // The directory keeps its offset modulo 4, apart from the data's end.
        {header("PWAD", 2, 28) + gaps + record(12, 4, "A") + record(24, 2, "B"),
         header("PWAD", 2, 20) + "AAAABBxx" + record(12, 4, "A") + record(16, 2, "B"), 8},
        // An empty entry where the first moved data lands, in a gap that
        // padding does not fill, goes to the end of the data before it.
        {header("PWAD", 3, 24) + "Axxxxxxxxx" + "BB" + record(12, 1, "A") +
             record(14, 0, "E") + record(22, 2, "B"),
         header("PWAD", 3, 16) + "AxBB" + record(12, 1, "A") + record(13, 0, "E") +
             record(14, 2, "B"),
         8},
    };
    for (const compaction &c : cases) {
        // The plan alone, from the directory and the length, with no file:
        // the final directory and length the archive must end with.
        const int32_t count = get32(c.before, 4), at = get32(c.before, 8);
        std::vector<wadentry_t> records(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; i++) {
            const size_t r = size_t(at + 16 * i);
            records[size_t(i)] = {get32(c.before, r), get32(c.before, r + 4), {}};
            memcpy(records[size_t(i)].name, c.before.data() + r + 8, 8);
        }
        static wadlayout plan;
        ASSERT_EQ(plancompaction(records.data(), count, at, int64_t(c.before.size()), &plan), -1);
        EXPECT_EQ(plan.shorter, c.reclaimed > 0);
        if (plan.shorter) {
            EXPECT_EQ(plan.newlength, int64_t(c.after.size()));
            EXPECT_EQ(plan.newdir, get32(c.after, 8));
            for (int32_t i = 0; i < count; i++)
                EXPECT_EQ(plan.final[i].filepos, get32(c.after, size_t(plan.newdir + 16 * i)));
        }

        openwad(c.before);
        std::string out;
        ASSERT_EQ(readwad_out(out), 0);
        EXPECT_EQ(compactwad(), c.reclaimed);
        closewad();
        EXPECT_TRUE(samebytes(readfile(wadpath), c.after));
    }

    // Bytes that are not in the file cannot be kept.
    std::string cut = shared;
    cut.replace(36 + 16 * 4, 4, le32(179));
    openwad(cut);
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    EXPECT_EXIT(compactwad(), testing::ExitedWithCode(255),
                "^compactwad: .*: entry 4 \\(E\\): a lump of 2 bytes at 179 is not in the "
                "file's data\n.*: nothing was written\n$");
    EXPECT_TRUE(samebytes(readfile(wadpath), cut));
}

TEST_F(WadTest, ReplaceEntryData)
{
    // The command's graft, through the library: the bytes, whatever the
    // layout, and again at once, from the state the first one left.
    std::string big(size_t{3} << 19, '\0'); // given in two blocks
    for (size_t i = 0; i < big.size(); i++)
        big[i] = char(i % 251);
    struct replacement {
        std::string before;
        int n;
        std::string data;
    };
    const std::vector<replacement> cases = {
        {makewad(twolevels()), 0, "script"},
        {makewad(twolevels(), "IWAD", "TRAILING"), 4, "level two"},
        {makewad(twolevels()), 7, ""},
        {makewad(twolevels()), 0, big},
    };
    // Progress is told after each block written: so much of so much.
    static std::string told;
    wadonprogress([](int64_t done, int64_t total, void *) {
        told += std::to_string(done) + "/" + std::to_string(total) + " ";
    }, nullptr);
    for (const replacement &c : cases) {
        SCOPED_TRACE(c.data.size());
        openwad(c.before);
        std::string out;
        ASSERT_EQ(readwad_out(out), 0);
        const std::string once = grafted(c.before, c.n, c.data);
        told.clear();
        EXPECT_EQ(wadreplace(c.n, c.data.data(), int32_t(c.data.size())), 0);
        EXPECT_EQ(told, c.data.size() < WADBLOCKSIZE
                            ? c.data.empty() ? "" : std::to_string(c.data.size()) + "/" +
                                                         std::to_string(c.data.size()) + " "
                            : "1048576/1572864 1572864/1572864 ");
        EXPECT_EQ(diroffset, get32(once, 8));
        EXPECT_EQ(wadreplace(1, "again", 5), 0);
        closewad();
        EXPECT_TRUE(samebytes(readfile(wadpath), grafted(once, 1, "again")));
    }
    wadonprogress(nullptr, nullptr);

    // The source may read the archive: MAP01 receives a copy of THINGS' data.
    const std::string w = makewad(twolevels());
    openwad(w);
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    static unsigned char *lump;
    const wadsource_t fromthings = [](size_t at, size_t, void *) -> const void * {
        lump = cachelump(1);
        return lump + at;
    };
    EXPECT_EQ(wadreplacefrom(0, 10, fromthings, nullptr), 0);
    free(lump);
    EXPECT_TRUE(samebytes(readfile(wadpath), grafted(w, 0, "t1t1t1t1t1")));

    // A directory changed only in memory is not the one on disk.
    openwad(w);
    ASSERT_EQ(readwad_out(out), 0);
    EXPECT_EXIT(wadreplace(8, "x", 1), testing::ExitedWithCode(255), "no entry 8");
    wadentry[3].size = 2;
    EXPECT_EXIT(wadreplace(0, "x", 1), testing::ExitedWithCode(255), "changed in memory");
    EXPECT_TRUE(samebytes(readfile(wadpath), w));

    // Bytes the program wrote through the stream reach the file first.
    openwad(w);
    ASSERT_EQ(readwad_out(out), 0);
    ASSERT_EQ(fseek(wadfp, 0, SEEK_END), 0);
    ASSERT_EQ(fwrite("TRAILING", 8, 1, wadfp), 1u);
    EXPECT_EQ(wadreplace(4, "x", 1), 0);
    closewad();
    EXPECT_TRUE(samebytes(readfile(wadpath),
                          grafted(makewad(twolevels(), "PWAD", "TRAILING"), 4, "x")));
}

TEST_F(WadTest, ACallThatFailsOnAnotherArchiveLeavesItAsItIs)
{
    // A.wad is loaded, then B.wad opened in its place without readwad: no
    // call may use A's directory or undo anything on B.
    std::vector<lump> blumps = levels();
    blumps.insert(blumps.begin(), {"BULK", std::string(3000000, 'b')});
    const std::string b = makewad(blumps, "IWAD");
    openwad(makewad(twolevels()));
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    closewad();
    writefile(path("b.wad"), b);
    wadfp = fopen(path("b.wad").c_str(), "r+b");
    EXPECT_EXIT(cachelump(100), testing::ExitedWithCode(255), "no entry 100");
    EXPECT_EXIT(compactwad(), testing::ExitedWithCode(255), "no directory of this file is loaded");
    EXPECT_EXIT(wadreplace(0, "x", 1), testing::ExitedWithCode(255),
                "no directory of this file is loaded");
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "no directory of this file is loaded");
    testing::internal::CaptureStdout();
    addentry(named("NEW"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot add NEW: no directory of this file is loaded!\n");
    closewad();
    EXPECT_TRUE(samebytes(readfile(path("b.wad")), b));

    // A change whose source opens B, or reads it too, then fails, puts
    // nothing back on B, and A back as it was, through A's own descriptor.
    static std::string other;
    other = path("b.wad");
    const wadsource_t opensother = [](size_t, size_t, void *) -> const void * {
        wadfp = fopen(other.c_str(), "r+b");
        errorexit("the source failed\n");
    };
    const wadsource_t readsother = [](size_t, size_t, void *) -> const void * {
        wadfp = fopen(other.c_str(), "r+b");
        readwad();
        errorexit("the source failed\n");
    };
    const std::string a = makewad(twolevels());
    for (const auto &[source, message] :
         {std::pair{opensother, "the source failed"}, {readsother, "a change is under way"}}) {
        openwad(a);
        ASSERT_EQ(readwad_out(out), 0);
        EXPECT_EXIT(wadreplacefrom(0, 5, source, nullptr), testing::ExitedWithCode(255), message);
        EXPECT_TRUE(samebytes(readfile(path("b.wad")), b));
        EXPECT_TRUE(samebytes(readfile(wadpath), a));
    }
}

TEST_F(WadTest, ChangesRefusedOrUndoneLeaveTheArchiveAsItIs)
{
    // Each change is refused before it writes anything, or, when its source
    // fails, undone: the archive is left byte for byte as it was.
    const std::string w = makewad(twolevels());
    static const std::string other = makewad(twolevels(), "IWAD", "ANOTHER PROGRAM WAS HERE");
    const auto rewrite = [this] { writefile(wadpath, other); }; // the same file, new bytes
    const auto append = [this] {
        ASSERT_EQ(fclose(wadfp), 0);
        wadfp = fopen(wadpath.c_str(), "a+b");
    };
    const wadsource_t nested = [](size_t, size_t, void *) -> const void * {
        wadreplace(4, "inner", 5);
        return "outer";
    };
    const wadsource_t nothing = [](size_t, size_t, void *) -> const void * { return nullptr; };
    std::string block(WADBLOCKSIZE, 'b');
    const wadsource_t first = [](size_t at, size_t, void *bytes) -> const void * {
        return at ? nullptr : bytes;
    };
    struct refusal {
        std::function<void()> before, call;
        std::string message;
    };
    const std::vector<refusal> cases = {
        {rewrite, [] { wadreplace(0, "x", 1); }, "^wadreplace: .*: the archive changed on disk"},
        {rewrite, [] { compactwad(); }, "^compactwad: .*: the archive changed on disk"},
        {rewrite, [] { writewad(); }, "^writewad: .*: the archive changed on disk"},
        {[this] { std::string s = readfile(wadpath); s[size_t(get32(s, 8)) + 8] = 'N';
                  writefile(wadpath, s); }, // the header as it was, an entry renamed
         [] { wadreplace(0, "x", 1); }, "the archive changed on disk"},
        {[] { diroffset += 16; }, [] { wadreplace(0, "x", 1); }, "changed in memory"},
        {[] { diroffset += 16; }, [] { compactwad(); }, "changed in memory"},
        {{}, [&] { wadreplacefrom(0, 5, nested, nullptr); }, "another change is under way"},
        {append, [] { wadreplace(0, "x", 1); }, "opened for appending"},
        {append, [] { writewad(); }, "opened for appending"},
        {{}, [&] { wadreplacefrom(0, 5, nothing, nullptr); },
         "^wadreplace: .*: the source gave no bytes for 0 to 5 of the 5 to store\n"
         ".*: the archive is as it was\n$"},
        {{}, [&] { wadreplacefrom(0, 2 * WADBLOCKSIZE + 1, first, block.data()); },
         "the source gave no bytes for 1048576 to 2097152 of the 2097153 to store\n.*as it was\n$"},
        {{}, [] { os_close(fileno(wadfp)), wadreplace(0, "x", 1); },
         "wadreplace: .*: fstat failed: Bad file descriptor"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.message);
        openwad(w);
        std::string out;
        ASSERT_EQ(readwad_out(out), 0);
        if (c.before)
            c.before();
        const std::string expected = readfile(wadpath);
        EXPECT_EXIT(c.call(), testing::ExitedWithCode(255), c.message);
        EXPECT_TRUE(samebytes(readfile(wadpath), expected));
    }
#ifdef __linux__
    // The program's own locks, where the system tells them: a shared one on
    // this stream, which a change must not convert, and one on another stream
    // of the file, which a change through this one would wait for forever.
    openwad(w);
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    ASSERT_EQ(flock(fileno(wadfp), LOCK_SH), 0);
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "holds a shared lock on the archive");
    FILE *holder = fopen(wadpath.c_str(), "rb");
    ASSERT_EQ(flock(fileno(wadfp), LOCK_UN) | flock(fileno(holder), LOCK_EX), 0);
    EXPECT_EXIT(writewad(), testing::ExitedWithCode(255), "lock through another stream");
    fclose(holder);
    EXPECT_TRUE(samebytes(readfile(wadpath), w));
#endif
}

TEST_F(WadTest, AForkedHelpersFailureLeavesItsParentsChange)
{
    // A source forks a helper, which fails, once the first block is written
    // where the directory stood: the helper's errorexit neither undoes nor
    // unlocks the change its parent is making.
    if (onwindows)
        GTEST_SKIP() << "Windows has no fork";
#ifndef _WIN32
    const std::string w = makewad(twolevels());
    openwad(w);
    std::string out;
    ASSERT_EQ(readwad_out(out), 0);
    static const std::string data = std::string(WADBLOCKSIZE, 'a') + "after";
    const wadsource_t forks = [](size_t at, size_t, void *) -> const void * {
        const pid_t helper = at > 0 ? fork() : -1;
        if (helper == 0) {
            if (!freopen("/dev/null", "w", stderr))
                _exit(1);
            errorexit("the helper failed\n");
        }
        if (helper > 0)
            waitpid(helper, nullptr, 0);
        return data.data() + at;
    };
    EXPECT_EQ(wadreplacefrom(0, int32_t(data.size()), forks, nullptr), 0);
    closewad();
    EXPECT_TRUE(samebytes(readfile(wadpath), grafted(w, 0, data)));
#endif
}

TEST_F(WadTest, AHandlerCatchesAFatalErrorAndTheProgramGoesOn)
{
    // The handler is given the message once the change is undone, and
    // leaves by an exception; the library then holds no directory, so that
    // writers refuse until the next readwad. (Without one, see ErrorExit.)
    struct failure {
        std::string message;
    };
    wadonerror([](const char *message, void *) { throw failure{message}; }, nullptr);
    const std::string w = makewad(twolevels());
    openwad(w);
    std::string out, caught;
    ASSERT_EQ(readwad_out(out), 0);
    const wadsource_t nothing = [](size_t, size_t, void *) -> const void * { return nullptr; };
    for (const auto &call : std::vector<std::function<void()>>{
             [&] { wadreplacefrom(0, 5, nothing, nullptr); }, [] { writewad(); },
             [&] { copywad(path("no/such/folder").c_str()); },
             [&] { readwad_out(out), writefile(wadpath, makewad({})), wadreplace(0, "x", 1); }}) {
        try {
            call();
        } catch (const failure &f) {
            caught += std::to_string(waderror()) + " " + f.message;
        }
    }
    EXPECT_EQ(caught, "6 wadreplace: " + wadpath + ": the source gave no bytes for 0 to 5 of the 5 "
                                                   "to store\n" + wadpath +
                          ": the archive is as it was\n4 writewad: " +
                          wadpath + ": no directory of this file is loaded\n1 copywad: Couldn't "
                          "copy a wad (filename:" + path("no/such/folder") + ")\n2 wadreplace: " +
                          wadpath + ": the archive changed on disk since it was read; read it "
                                    "again\n" + wadpath + ": nothing was written\n");
    writefile(wadpath, w);
    EXPECT_EQ(entry_exist("MAP01"), -1);
    EXPECT_TRUE(samebytes(readfile(wadpath), w));
    const auto unlocked = [&] {
        FILE *probe = fopen(wadpath.c_str(), "rb");
        const bool free = probe && os_lock(fileno(probe), false) == 0;
        return probe && fclose(probe) == 0 && free;
    };
    EXPECT_TRUE(unlocked());
    ASSERT_EQ(readwad_out(out), 0);
    EXPECT_EQ(wadreplace(0, "again", 5), 0);
    EXPECT_TRUE(unlocked());
    EXPECT_TRUE(samebytes(readfile(wadpath), grafted(w, 0, "again")));
    // An interruption passed on from a signal handler goes to the handler too.
    wadonerror([](const char *m, void *) { fprintf(stderr, "handler %d: %s", waderror(), m); },
               nullptr);
    const wadsource_t interrupts = [](size_t, size_t, void *) -> const void * {
        wadinterrupt(namedsignal);
        return "bytes";
    };
    EXPECT_EXIT(wadreplacefrom(0, 5, interrupts, nullptr), [](int) { return true; },
                std::string("handler 3: wadreplace: .*: interrupted by ") + namedsignalname +
                    "; the archive is as it was");
    ASSERT_EQ(wadlock(), 0); // a lock the program took stays, until it closes the stream
    wadonerror([](const char *message, void *) { throw failure{message}; }, nullptr);
    EXPECT_THROW(cachelump(99), failure);
    EXPECT_FALSE(unlocked());
    // Nothing a failing call opened or allocated stays behind, over
    // hundreds of handled errors: no descriptor, no buffer.
    std::string bytes = w;
    bytes.replace(size_t(get32(w, 8)) + 4, 4, le32(1 << 20)); // MAP01's data runs past the end
    openwad(bytes);
    const auto nextfd = [&] {
        FILE *probe = fopen(wadpath.c_str(), "rb");
        const int fd = fileno(probe);
        return fclose(probe) == 0 ? fd : -1;
    };
    const int firstfree = nextfd();
#ifdef __GLIBC__
    const size_t heap = mallinfo2().uordblks + mallinfo2().hblkhd;
#endif
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(readwad_out(out), 0);
        EXPECT_THROW(copywad(wadpath.c_str()), failure);
        ASSERT_EQ(readwad_out(out), 0);
        EXPECT_THROW(cachelump(0), failure);
    }
    EXPECT_EQ(nextfd(), firstfree);
#ifdef __GLIBC__
    EXPECT_LT(mallinfo2().uordblks + mallinfo2().hblkhd, heap + (10 << 20));
#endif
    openwad(w);
    // A handler that leaves after an interruption ends it: the next change runs.
    ASSERT_EQ(readwad_out(out), 0);
    EXPECT_THROW(wadreplacefrom(0, 5, interrupts, nullptr), failure);
    ASSERT_EQ(readwad_out(out), 0);
    EXPECT_EQ(wadreplace(0, "after", 5), 0);
}

TEST_F(WadTest, TheLockBlocksNoReader)
{
    // A game or an editor reads the archive while a run holds it, even where
    // locks are mandatory (Windows).
    const std::string w = makewad(twolevels());
    openwad(w);
    ASSERT_EQ(os_lock(fileno(wadfp)), 0);
    EXPECT_TRUE(readlockable(wadpath, w.size()));
    EXPECT_TRUE(samebytes(readfile(wadpath), w));
}

// The lock a program takes through the library, with the built command
// started beside it.
struct LockTest : WadTest {
    std::string filepath;
    void SetUp() override { WadTest::SetUp(), filepath = path("script.txt"); }
};

TEST_F(LockTest, TheLockAProgramTakesHoldsAcrossItsChanges)
{
    // A program takes the lock with wadlock, takes it again, and changes the
    // archive through the library twice: the command, started meanwhile,
    // waits until the program closes the stream, then grafts on top. The
    // lock is the stream's: another stream of the file would wait for it.
    const std::string before = makewad(twolevels());
    writefile(wadpath, before);
    writefile(filepath, "command");
    wadfp = os_fopen(wadpath.c_str(), "r+b");
    ASSERT_NE(wadfp, nullptr);
    wadname = wadpath.c_str();
    ASSERT_EQ(wadlock(), 0);
    ASSERT_EQ(wadlock(), 0);
    FILE *other = os_fopen(wadpath.c_str(), "r+b"); // the same file, another stream
    std::swap(wadfp, other);
    for (int (*lock)() : {wadtrylock, wadlock}) {
        errno = 0;
        EXPECT_EQ(lock(), -1);
        EXPECT_EQ(errno, EDEADLK);
    }
    std::swap(wadfp, other);
    ASSERT_EQ(fclose(other), 0);
    ASSERT_EQ(readwad(), 0);
    ASSERT_EQ(wadreplace(4, "library", 7), 0);
    const process child = spawn({LUMPGRAFT_BIN, wadpath, filepath}, path("out"), path("err"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_EQ(wadreplace(7, "again", 5), 0);
    const std::string library = grafted(grafted(before, 4, "library"), 7, "again");
    EXPECT_TRUE(samebytes(readfile(wadpath), library)) << "the command wrote while the lock was held";
    ASSERT_EQ(fclose(wadfp), 0);
    wadfp = nullptr;
    EXPECT_EQ(reap(child), 0) << readfile(path("err"));
    EXPECT_TRUE(samebytes(readfile(wadpath), grafted(library, 0, "command")));
}

TEST_F(LockTest, AProgramRacingTheCommandLosesNoChange)
{
    // A program reads the archive, then changes it through the library (a
    // graft into MAP02, or a compaction), while the command grafts a file it
    // stores a block at a time into MAP01; each round they start a random
    // moment apart. Every end state is whole and holds each change that
    // reported success, and no other. The program comes to its change in
    // each of the ways below; one that holds the lock from before readwad
    // never gets a refusal, and still holds it after its change, and one
    // that does not holds no lock after it.
    if (onwindows)
        GTEST_SKIP() << "the program is a fork of this test";
#ifndef _WIN32
    const std::string before = grafted(makewad(twolevels()), 4, std::string(50000, 'd'));
    const std::string file((size_t{3} << 19) + 11, 'g');
    writefile(filepath, file);
    std::mt19937 random(20261209);
    const auto open = [&](const char *mode = "r+b") { return fopen(wadpath.c_str(), mode); };
    struct way {
        const char *name;
        bool holds;
        std::function<void()> before;
        bool locksafterreading = false; // and so may be refused
    };
    const std::vector<way> ways = {
        {"without the lock", false, [&] { wadfp = open(); }},
        {"taking the lock only after readwad", true, [&] { wadfp = open(); }, true},
        {"with the lock from before readwad", true, [&] { wadfp = open(), wadlock(); }},
        {"beside a reader stream, after a pass that held the lock", false,
         [&] { wadfp = open(), wadlock(), readwad(), fclose(wadfp), open("rb"), wadfp = open(); }},
        {"on a stream reopened after a pass that held the lock", false,
         [&] { wadfp = open(), wadlock(), readwad(), fclose(wadfp), wadfp = open(); }},
        {"so, where the system cannot tell (no descriptor left to ask it)", false, [&] {
             wadfp = open(), wadlock(), readwad(), fclose(wadfp), wadfp = open();
             const rlimit none = {rlim_t(fileno(wadfp) + 1), rlim_t(fileno(wadfp) + 1)};
             setrlimit(RLIMIT_NOFILE, &none);
         }},
        {"through one stream, another failing to lock", true, [&] {
             FILE *held = wadfp = open();
             wadlock();
             wadfp = open();
             if (wadlock() != -1 || errno != EDEADLK)
                 _exit(5);
             wadfp = held;
         }},
        {"after a fatal error that its handler survived", true, [&] {
             wadonerror([](const char *, void *) { throw 1; }, nullptr);
             wadfp = open(), wadlock(), readwad();
             EXPECT_ANY_THROW(cachelump(-1));
         }},
        {"in a child forked while the parent held the lock", false, [&] {
             wadfp = open(), wadlock();
             const pid_t child = fork();
             if (child == 0) { // the lock it inherited is its parent's
                 FILE *inherited = wadfp;
                 wadfp = open();
                 if (wadlock() != -1 || errno != EDEADLK)
                     _exit(5);
                 fclose(inherited);
                 return;
             }
             std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
             fclose(wadfp);
             _exit(reap(child));
         }},
    };
#ifdef LUMPGRAFT_EMULATOR
    const int rounds = int(ways.size()) * 4;
#else
    const int rounds = int(ways.size()) * 20;
#endif
    int made = 0, bad = 0;
    for (int round = 0; round < rounds; round++) {
        const way &w = ways[size_t(round) % ways.size()];
        const bool compacting = round / ways.size() % 2;
        writefile(wadpath, before);
        const int offset = int(random() % 16000) - 4000; // microseconds
        const pid_t program = fork();
        if (program == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(std::max(offset, 0)));
            wadname = wadpath.c_str();
            if (!freopen(path("program.err").c_str(), "w", stderr))
                _exit(2);
            w.before();
            if (!wadfp || readwad() != 0)
                _exit(3); // read while the command changed it: no change made
            if (w.locksafterreading && wadlock() != 0)
                _exit(7);
            if (compacting)
                compactwad();
            else
                wadreplace(4, "library", 7);
            if (os_lockheld(fileno(wadfp)) == !w.holds)
                _exit(6);
            _exit(fclose(wadfp) == 0 ? 0 : 4);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::max(-offset, 0)));
        const result r = run(dir, {LUMPGRAFT_BIN, wadpath, filepath});
        const int status = reap(program);
        const std::string after = readfile(wadpath);
        std::vector<lump> want = lumpsof(before);
        if (r.status == 0)
            want[0].data = file;
        if (status == 0 && !compacting)
            want[4].data = "library";
        const bool good = r.status == 0 &&
                          (status == 0 || ((!w.holds || w.locksafterreading) && (status == 3 || status == 255))) &&
                          wadiswhole(after) && lumpsof(after) == want;
        EXPECT_TRUE(good) << w.name << ", round " << round << ": command " << r.status
                          << ", program " << status << "\n" << r.err << readfile(path("program.err"));
        made += status == 0;
        bad += !good;
    }
    std::cout << rounds << " rounds: the program's change made in " << made << ", refused in "
              << rounds - made << "; " << bad << " bad end states\n";
#endif
}

} // namespace
