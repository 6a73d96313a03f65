// SPDX-License-Identifier: MIT
// End-to-end tests: the built command on archives made in a scratch folder,
// checking standard output, standard error, exit status and the archive's
// bytes, which must be the same on every system.

#include "archives.h"
#include "os.h"
#include "processes.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

using namespace testwad;

namespace {

const std::string banner =
    "lumpgraft " LUMPGRAFT_VERSION ": stores a file as the data of a WAD level's marker entry\n"
    "https://lumpgraft.example/\n"
    "Safe in-place writing by the lumpgraft developers\n";

class ToolTest : public ScratchTest {
protected:
    std::string wadpath, filepath;

    void SetUp() override
    {
        ScratchTest::SetUp();
        wadpath = path("game.wad");
        filepath = path("script.txt");
    }

    result graft(std::vector<std::string> extra = {})
    {
        std::vector<std::string> argv = {LUMPGRAFT_BIN, wadpath, filepath};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run(dir, argv);
    }

    // What follows "level not found!": the name, the archive and what to do.
    std::string notfound(const std::string &name) const
    {
        return "level not found!\n" + wadpath + " has no entry named " + name +
               "; lumpgraft --list " + wadpath + " lists its levels\n";
    }

    std::string okout(int entries, int offset, const std::string &level) const
    {
        return banner + filepath + " loaded: " + std::to_string(readfile(filepath).size()) +
               " bytes\n" + wadpath + ": " + std::to_string(entries) + " entries at " +
               std::to_string(offset) + "\nlevel: " + level + "\n" + filepath +
               " added to " + wadpath + " ok\n";
    }
};

TEST_F(ToolTest, UsageWithFewerThanTwoArguments)
{
    writefile(wadpath, makewad(twolevels()));
    for (auto argv : std::vector<std::vector<std::string>>{
             {LUMPGRAFT_BIN},
             {LUMPGRAFT_BIN, wadpath},
             {LUMPGRAFT_BIN, "--compact"},
             {LUMPGRAFT_BIN, "--compact", wadpath, "extra"},
             {LUMPGRAFT_BIN, "--list", wadpath, "extra"},
             {LUMPGRAFT_BIN, "--extract", wadpath, "MAP01", "to", "extra"}}) {
        const result r = run(dir, argv);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, banner + "\nUsage:\nlumpgraft wadfile levelfile [levelname]\n"
                                  "lumpgraft --list wadfile\nlumpgraft --extract wadfile "
                                  "[levelname [outfile]]\nlumpgraft --compact wadfile\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(samebytes(readfile(wadpath), makewad(twolevels())));
}

TEST_F(ToolTest, WorkedCase)
{
    // 148 bytes: header, 88 bytes of lump data, three entries at 100.
    const std::string before = header("PWAD", 3, 100) + std::string(88, 'x') +
                               record(0, 0, "MAP01") + record(12, 40, "THINGS") +
                               record(52, 48, "LINEDEFS");
    ASSERT_EQ(before.size(), 148u);
    writefile(wadpath, before);
    const std::string file = "twenty bytes of text";
    writefile(filepath, file);

    const result r = graft();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, okout(3, 100, "MAP01"));

    const std::string after = readfile(wadpath);
    ASSERT_EQ(after.size(), 168u);
    EXPECT_EQ(after.substr(12, 88), before.substr(12, 88));
    EXPECT_EQ(after.substr(100, 20), file);
    EXPECT_EQ(get32(after, 8), 120);
    EXPECT_EQ(after.substr(120), record(100, 20, "MAP01") + before.substr(116));
    EXPECT_TRUE(samebytes(after, grafted(before, 0, file)));
}

TEST_F(ToolTest, ChoosingTheReceivingEntry)
{
    const std::string before = makewad(twolevels(), "IWAD");
    const std::string file("script\r\nwith \0 bytes\n", 21);
    writefile(filepath, file);
    struct named {
        std::vector<std::string> args;
        int entry;
        std::string shown;
    };
    const std::vector<named> cases = {
        {{}, 0, "MAP01"},
        {{"THINGS"}, 0, "MAP01"},
        {{"MAP02"}, 4, "MAP02"},
        {{"PLAYPAL"}, 7, "PLAYPAL"},            // an ordinary lump is taken as asked,
        {{"LINEDEFSXYZ"}, 2, "LINEDEFS"},       // with a warning; nine or more: the first eight count
        {{"THINGS", "extra"}, 0, "MAP01"},      // arguments after the third are ignored
    };
    // An empty marker gives empty output.
    writefile(wadpath, before);
    const result empty = run(dir, {LUMPGRAFT_BIN, "--extract", wadpath});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out + empty.err, banner);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        writefile(wadpath, before);
        const result r = graft(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, okout(8, get32(before, 8), c.shown));
        EXPECT_EQ(r.err, c.shown.starts_with("MAP") ? "" : wadpath + ": warning: " + c.shown +
                  " is not a level marker (no THINGS or TEXTMAP follows it): its data is replaced\n");
        const std::string after = readfile(wadpath);
        EXPECT_TRUE(samebytes(after, grafted(before, c.entry, file)));
        EXPECT_EQ(after.substr(0, 4), "IWAD");
        std::vector<std::string> extract = {LUMPGRAFT_BIN, "--extract", wadpath};
        extract.insert(extract.end(), c.args.begin(), c.args.begin() + long(std::min<size_t>(c.args.size(), 1)));
        const result x = run(dir, extract);
        EXPECT_EQ(x.status, 0);
        EXPECT_EQ(x.out, file);
        EXPECT_EQ(x.err, banner);
        // Or to a file, which it replaces whole.
        writefile(path("out"), "older and longer");
        extract.resize(3);
        const std::string level = c.args.empty() ? "THINGS" : c.args[0];
        for (const std::string &to : {path("out"), wadpath}) {
            extract.insert(extract.end(), {level, to});
            const result f = run(dir, extract);
            EXPECT_EQ(f.status, to == wadpath ? 255 : 0);
            EXPECT_EQ(f.out + f.err, to == wadpath ? banner + wadpath + ": the output is the "
                                                     "archive itself; nothing done\n" : banner);
            extract.resize(3);
        }
        EXPECT_EQ(readfile(path("out")), file);
        EXPECT_TRUE(samebytes(readfile(wadpath), after));
    }
}

TEST_F(ToolTest, NameNotFoundLeavesArchiveUnwritten)
{
    // A UDMF map has no THINGS entry: without a name, no level is found.
    const std::string udmf = makewad({{"MAP01", ""}, {"TEXTMAP", "thing { }"}, {"ENDMAP", ""}});
    writefile(filepath, "abc");
    writefile(wadpath, udmf);
    EXPECT_EQ(graft().err, "level not found!\nNo entry of " + wadpath + " is followed by THINGS "
                           "(a UDMF map's is not: name its level); lumpgraft --list " + wadpath +
                           " lists its levels\n");
    EXPECT_TRUE(samebytes(readfile(wadpath), udmf));
    EXPECT_EQ(graft({"MAP01"}).status, 0);
    EXPECT_EQ(run(dir, {LUMPGRAFT_BIN, "--list", wadpath}).out, "MAP01 3 21\n");

    const std::string before = makewad(twolevels());
    const std::string guessed = "level not found!\n" + wadpath + " has no entry named map01 (names "
                                "are upper case: did you mean MAP01?); lumpgraft --list " +
                                wadpath + " lists its levels\n";
    for (const std::string name : {"map01", "MAP03", "", "THING"}) {
        SCOPED_TRACE(name);
        writefile(wadpath, before);
        const result r = graft({name});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, banner + filepath + " loaded: 3 bytes\n" + wadpath +
                             ": 8 entries at " + std::to_string(get32(before, 8)) + "\n");
        EXPECT_EQ(r.err, name == "map01" ? guessed : notfound(name));
        EXPECT_TRUE(samebytes(readfile(wadpath), before));
        const result x = run(dir, {LUMPGRAFT_BIN, "--extract", wadpath, name});
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.out, "");
        EXPECT_EQ(x.err, banner + r.err);
    }
}

TEST_F(ToolTest, EmptyFileAndRunningTwice)
{
    const std::string before = makewad(twolevels());
    writefile(wadpath, before);
    writefile(filepath, "");
    result r = graft();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, okout(8, get32(before, 8), "MAP01"));
    const std::string once = readfile(wadpath);
    EXPECT_TRUE(samebytes(once, grafted(before, 0, "")));
    EXPECT_EQ(once.size(), before.size());

    writefile(filepath, "first");
    r = graft();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string twice = readfile(wadpath);
    writefile(filepath, "second");
    r = graft();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string thrice = readfile(wadpath);
    EXPECT_TRUE(samebytes(thrice, grafted(twice, 0, "second")));
    // The first run's bytes stay in the file, unreferenced.
    EXPECT_EQ(thrice.substr(size_t(get32(once, 8)), 5), "first");
    EXPECT_EQ(lumpsof(thrice)[0], (lump{"MAP01", "second"}));
}

TEST_F(ToolTest, ArchiveAsItsOwnLevelFile)
{
    // The archive's bytes as they were before the run become the lump, even
    // though the run overwrites them, by path and through a hard link, and
    // even when it is larger than the blocks a level file is streamed in.
    std::vector<lump> lumps = twolevels();
    lumps.push_back({"BIG", std::string((size_t{3} << 19) + 7, 'b')});
    const std::string before = makewad(lumps);
    for (const bool linked : {false, true}) {
        writefile(wadpath, before);
        std::filesystem::remove(path("link.wad"));
        if (linked)
            std::filesystem::create_hard_link(wadpath, path("link.wad"));
        const result r = run(dir, {LUMPGRAFT_BIN, wadpath, linked ? path("link.wad") : wadpath});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(samebytes(readfile(wadpath), grafted(before, 0, before)));
    }
}

TEST_F(ToolTest, LevelFileProblemsStopBeforeTheArchiveIsOpened)
{
    const std::string before = makewad(twolevels());
    writefile(wadpath, before);
    struct bad {
        std::string file, err;
    };
    std::filesystem::create_directory(fspath(path("folder")));
    // A level file that reads short is refused too: see the fault tests.
    std::vector<bad> cases = {
        {path("missing.txt"), "Error fstating\n" + path("missing.txt") +
                                  ": cannot read the level file: No such file or directory\n"},
        {path("folder"), path("folder") + ": not a regular file\n"},
    };
    // Opening a FIFO must not wait for a writer that never comes (the
    // test's timeout would end a run that hangs).
    if (const int reader = makefifo(path("fifo")); reader >= 0) {
        os_close(reader);
        cases.push_back({path("fifo"), path("fifo") + ": not a regular file\n"});
    }
    for (const auto &c : cases) {
        const result r = run(dir, {LUMPGRAFT_BIN, wadpath, c.file});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, banner);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(samebytes(readfile(wadpath), before));
    }
}

TEST_F(ToolTest, LevelFileOf2GiBIsRefused)
{
    writefile(wadpath, makewad(twolevels()));
    writefile(path("huge"), "x");
    std::filesystem::resize_file(fspath(path("huge")), uintmax_t{1} << 31);
    const result r = run(dir, {LUMPGRAFT_BIN, wadpath, path("huge")});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, path("huge") + ": 2147483648 bytes; a lump must be smaller than 2 GiB\n");
    EXPECT_TRUE(samebytes(readfile(wadpath), makewad(twolevels())));
}

TEST_F(ToolTest, ArchiveThatCannotBeOpened)
{
    // A missing archive, and a folder, for which Windows gives Linux's reason.
    writefile(filepath, "abc");
    for (const char *reason : {"No such file or directory", "Is a directory"}) {
        const result r = graft();
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, wadpath + ": cannot open for update: " + reason + "\n");
        std::filesystem::create_directory(fspath(wadpath));
    }
    // Another program holds it, and shares it with none (Windows).
    std::filesystem::remove(fspath(wadpath));
    writefile(wadpath, makewad(twolevels()));
    if (void *held = holdfile(wadpath)) {
        EXPECT_EQ(graft().err, wadpath + ": cannot open for update: another program has the file "
                                         "open and shares it with no other; close that program, "
                                         "then try again\n");
        letgo(held);
    }
}

TEST_F(ToolTest, RefusedArchivesAreNeverWritten)
{
    writefile(filepath, "abc");
    const std::string dir2 = record(12, 0, "") + record(12, 0, "THINGS");
    struct damaged {
        std::string bytes, refusal;
    };
    const std::vector<damaged> cases = {
        {header("pwad", 2, 12) + dir2, "File not IWAD or PWAD!\n"},
        {header("PWAD", 5001, 12) + dir2, "Cannot handle > 5000 entry wads!\n"},
        {header("PWAD", -1, 12) + dir2, "Negative entry count -1!\n"},
        {header("PWAD", 2, -12) + dir2, "Negative directory offset -12!\n"},
        {header("PWAD", 2, 4) + dir2, "Directory at 4 overlaps the header!\n"},
        {header("PWAD", 3, 12) + dir2,
         "Directory of 3 entries at 12 runs past the end of the file (44 bytes)!\n"},
    };
    for (const auto &c : cases) {
        writefile(wadpath, c.bytes);
        for (const std::string op : {"list", "extract"}) {
            const result x = run(dir, {LUMPGRAFT_BIN, "--" + op, wadpath});
            EXPECT_EQ(x.status, 255);
            EXPECT_EQ(x.out, ""); // only what was asked for
            EXPECT_EQ(x.err, banner + c.refusal + wadpath + ": refused, nothing " + op + "ed\n");
        }
        for (const auto &name : {std::vector<std::string>{}, {""}}) {
            SCOPED_TRACE(c.refusal);
            writefile(wadpath, c.bytes);
            const result r = graft(name);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, banner + filepath + " loaded: 3 bytes\n" + c.refusal + wadpath +
                                 ": " + std::to_string(get32(c.bytes, 4)) + " entries at " +
                                 std::to_string(get32(c.bytes, 8)) + "\n");
            EXPECT_EQ(r.err, "level not found!\n" + wadpath +
                                 " is no archive lumpgraft can read (see the line above)\n");
            EXPECT_TRUE(samebytes(readfile(wadpath), c.bytes));
        }
    }
    // The level file is an archive, and the archive is not: they look swapped.
    writefile(filepath, makewad(twolevels()));
    writefile(wadpath, "script");
    EXPECT_EQ(graft().err, "level not found!\n" + filepath + " is a WAD archive and " + wadpath +
                               " is not: the arguments look swapped; the archive comes first: "
                               "lumpgraft wadfile levelfile [levelname]\n");
}

TEST_F(ToolTest, ThingsAsFirstEntryHasNoMarker)
{
    const std::string before = makewad({{"THINGS", "tt"}, {"LINEDEFS", "ll"}});
    writefile(wadpath, before);
    writefile(filepath, "abc");
    const result r = graft();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "level not found! The first THINGS entry is the directory's first "
                     "entry: no marker stands before it.\n");
    EXPECT_TRUE(samebytes(readfile(wadpath), before));
}

TEST_F(ToolTest, BytesAfterTheDirectoryAreKept)
{
    // Another tool left bytes after the directory: they must survive.
    const std::string before = makewad(twolevels(), "PWAD", "TRAILING BYTES");
    writefile(wadpath, before);
    writefile(filepath, "graft");

    const result r = graft({"MAP02"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string after = readfile(wadpath);
    ASSERT_TRUE(wadiswhole(after));
    EXPECT_EQ(after.substr(12, before.size() - 12), before.substr(12));
    EXPECT_EQ(after.substr(before.size(), 5), "graft");
    EXPECT_EQ(get32(after, 8), int64_t(before.size()) + 5);
    EXPECT_EQ(after.size(), before.size() + 5 + 8 * 16);
    std::vector<lump> want = twolevels();
    want[4].data = "graft";
    EXPECT_EQ(lumpsof(after), want);
    EXPECT_TRUE(samebytes(after, grafted(before, 4, "graft")));

    // So do bytes of the directory that a lump uses, the receiving entry's
    // too: the graft goes to the end.
    for (const int user : {7, 0}) {
        std::string overlapped = makewad(twolevels());
        const int32_t dir = get32(overlapped, 8);
        overlapped.replace(size_t(dir + 16 * user), 8, le32(dir) + le32(16));
        writefile(wadpath, overlapped);
        EXPECT_EQ(graft().status, 0);
        const std::string grafted = readfile(wadpath);
        EXPECT_EQ(lumpsof(grafted)[7], lumpsof(overlapped)[7]);
        EXPECT_EQ(grafted.size(), overlapped.size() + 5 + 8 * 16);
    }
}

TEST_F(ToolTest, OffsetsPast2GiBAreRefusedBeforeWriting)
{
    // Sparse archives whose directory ends just below 2 GiB: eleven bytes
    // more take the new directory past it, or only the parked copy of the
    // old one.
    const int64_t limit = (int64_t{1} << 31) - 1;
    for (const int64_t dirat : {limit - 32 - 10, limit - 43 - 10}) {
        const std::string dirbytes = record(12, 0, "MAP01") + record(12, 0, "THINGS");
        writefile(wadpath, header("PWAD", 2, dirat));
        std::filesystem::resize_file(fspath(wadpath), uintmax_t(dirat));
        {
            std::ofstream out(fspath(wadpath), std::ios::binary | std::ios::app);
            out << dirbytes;
        }
        writefile(filepath, "eleven byte");
        const result r = graft();
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find("WAD offsets stop at 2 GiB"), std::string::npos) << r.err;
        EXPECT_EQ(std::filesystem::file_size(fspath(wadpath)), uintmax_t(dirat + 32));
        std::ifstream in(fspath(wadpath), std::ios::binary);
        std::string head(12, '\0');
        in.read(head.data(), 12);
        EXPECT_EQ(head, header("PWAD", 2, dirat));
    }
}

TEST_F(ToolTest, FailedWriteIsReportedAndArchiveStaysAsItWas)
{
    if (onwindows)
        GTEST_SKIP() << "Windows cannot cap the size of a process's files";
    writefile(filepath, std::string(4096, 'z'));
    // The file may not grow past its present size plus a little: the write
    // that crosses the cap fails (no SIGXFSZ ends the run), and what it wrote
    // past the old end is cut off again.
    for (const std::string trailing : {"", "BYTES AFTER THE DIRECTORY"}) {
        const std::string before = makewad(twolevels(), "PWAD", trailing);
        writefile(wadpath, before);
        const result r =
            run(dir, {LUMPGRAFT_BIN, wadpath, filepath}, {.fsizelimit = before.size() + 100});
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(r.err.ends_with(wadpath + ": write failed: File too large\n" + wadpath +
                                    ": the archive is as it was\n"))
            << r.err;
        EXPECT_EQ(r.out.find("ok\n"), std::string::npos);
        EXPECT_TRUE(samebytes(readfile(wadpath), before));
    }
}

TEST_F(ToolTest, ClosedOrBrokenStandardStreams)
{
    // The archive must never receive the command's messages, and the status
    // says what happened to the archive whatever became of its output. With
    // standard input closed too, the level file would take its place, and
    // the archive that of the closed output stream. Output sent into the
    // archive itself stops the run before anything reaches either.
    writefile(filepath, "abc");
    const std::string sound = makewad(twolevels());
    const std::string refused = header("pwad", 2, 12) + record(12, 0, "A") + record(12, 0, "B");
    // A level of "--compact" or "--list" stands for that run on the archive.
    struct stream {
        startup how;
        std::string wad, level;
        int status;
        std::string err;
    };
    const std::vector<stream> cases = {
        {{.closed = {0, 1}}, refused, "MAP01", 255,
         "level not found!\n" + wadpath + " is no archive lumpgraft can read (see the line above)\n"},
        {{.closed = {0, 2}}, refused, "MAP01", 255, ""},
        {{.closed = {0, 1}}, sound, "NOPE", 255, notfound("NOPE")},
        {{.closed = {0, 2}}, sound, "NOPE", 255, ""},
        {{.brokenpipe = true}, sound, "NOPE", 255, notfound("NOPE")},
        {{.brokenpipe = true}, sound, "MAP01", 0, "standard output: write failed: Broken pipe\n"},
        {{.outfile = wadpath}, sound, "MAP01", 255,
         wadpath + ": standard output is the archive itself; nothing done\n"},
        {{.errfile = wadpath}, sound, "MAP01", 255, sound}, // standard error: the archive
        {{.brokenpipe = true, .errfile = wadpath}, sound, "MAP01", 255, sound},
        // The null device takes the writes; Windows keeps descriptor 1 for a
        // closed standard output, and says that writing to it failed.
        {{.closed = {1}}, sound, "MAP01", 0, onwindows ? "standard output: write failed\n" : ""},
        {{.closed = {0, 2}}, refused, "--compact", 255, ""},
        {{.outfile = wadpath}, sound, "--compact", 255,
         wadpath + ": standard output is the archive itself; nothing done\n"},
        {{.outfile = wadpath}, "", "--list", 255,
         wadpath + ": standard output is the archive itself, which the shell emptied before "
                   "lumpgraft started; only a backup restores it\n"},
        // A listing is what --list is for: not writing it is a failure, and
        // so is a standard output closed, which the null device stands in for.
        {{.brokenpipe = true}, sound, "--list", 255,
         banner + "standard output: write failed: Broken pipe\n"},
        {{.closed = {1}}, sound, "--list", 255,
         banner + "standard output: write failed: Bad file descriptor\n"},
        {{.closed = {1}}, sound, "--extract", 255,
         banner + "standard output: write failed: Bad file descriptor\n"},
    };
    for (const stream &c : cases) {
        SCOPED_TRACE(std::to_string(c.how.closed.size()) + " " + c.level);
        if (onwindows && c.how.brokenpipe)
            continue;
        writefile(wadpath, c.wad);
        const std::vector<std::string> argv =
            c.level.starts_with("--") ? std::vector<std::string>{LUMPGRAFT_BIN, c.level, wadpath}
                                   : std::vector<std::string>{LUMPGRAFT_BIN, wadpath, filepath,
                                                              c.level};
        const result r = run(dir, argv, c.how);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(samebytes(readfile(wadpath), c.status == 0 ? grafted(c.wad, 0, "abc") : c.wad));
    }
}

TEST_F(ToolTest, ArchivesThatAreNotRegularFilesAreRefused)
{
    // A FIFO, and a block device (whose size fstat gives as 0) over a copy
    // of an archive: refused before anything is written.
    const std::string before = makewad(twolevels());
    writefile(filepath, "abc");
    std::vector<std::string> archives;
    if (const int reader = makefifo(path("fifo")); reader >= 0) {
        os_close(reader);
        archives.push_back(path("fifo"));
    }
    writefile(wadpath, before);
    const result loop = run(dir, {"losetup", "--find", "--show", wadpath});
    if (loop.status == 0)
        archives.push_back(loop.out.substr(0, loop.out.find('\n')));
    else
        std::cout << "no block device tested: losetup refused (it needs root)\n";
    for (const std::string &archive : archives) {
        const result r = run(dir, {LUMPGRAFT_BIN, archive, filepath});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, archive + ": not a regular file\n");
    }
    if (loop.status == 0)
        run(dir, {"losetup", "--detach", archives.back()});
    EXPECT_TRUE(samebytes(readfile(wadpath), before));
    if (archives.empty())
        GTEST_SKIP() << "no FIFO and no block device here";
}

TEST_F(ToolTest, ProgressOnATerminalAndNowhereElse)
{
    // A graft that writes more than 64 MiB says how far it has come, on a
    // terminal; scripts and logs see nothing of it.
    if (onwindows)
        GTEST_SKIP() << "a console cannot be made here";
#ifndef _WIN32
    writefile(filepath, std::string(size_t{65} << 20, 'p'));
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    for (const bool onterminal : {true, false}) {
        writefile(wadpath, makewad(twolevels()));
        const std::string err = onterminal ? ptsname(terminal) : path("err");
        EXPECT_EQ(reap(spawn({LUMPGRAFT_BIN, wadpath, filepath}, path("out"), err)), 0);
        char seen[4096];
        const ssize_t n = onterminal ? read(terminal, seen, sizeof seen) : 0;
        EXPECT_EQ(std::string(seen, size_t(std::max<ssize_t>(n, 0))).find("65 of 65 MiB written") !=
                      std::string::npos,
                  onterminal);
        EXPECT_EQ(onterminal ? "" : readfile(err), "");
    }
    close(terminal);
#endif
}

TEST_F(ToolTest, FileThatReportsNoSizeIsReadToItsEnd)
{
    // The command's own environment, made larger than the buffer it is
    // first read into, twice over.
    filepath = "/proc/self/environ";
    if (onwindows || !std::filesystem::exists(filepath))
        GTEST_SKIP() << "no " << filepath;
    setvariable("LUMPGRAFT_TEST_FILL1", std::string(100000, '1'));
    setvariable("LUMPGRAFT_TEST_FILL2", std::string(100000, '2'));
    const std::string inherited = environment();
    writefile(wadpath, makewad(twolevels()));
    const result r = graft();
    setvariable("LUMPGRAFT_TEST_FILL1", "");
    setvariable("LUMPGRAFT_TEST_FILL2", "");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string stored = lumpsof(readfile(wadpath))[0].data;
    EXPECT_TRUE(samebytes(stored, inherited));
    EXPECT_NE(r.out.find(filepath + " loaded: " + std::to_string(stored.size()) + " bytes\n"),
              std::string::npos);
}

TEST_F(ToolTest, FilesThatChangeWhileTheRunWaits)
{
    // The test holds the archive's lock while another program changes a
    // file. A level file cut short or rewritten at the same length is stored
    // in neither version; an archive that an editor replaced by renaming a
    // new one over it is opened again, and the new one receives the file, or
    // is compacted; an archive deleted is not written as if it were there.
    const std::string before = makewad(twolevels()), newer = makewad(twolevels(), "IWAD");
    const std::string loose = makewad(twolevels(), "IWAD", "LEFT BEHIND");
    const std::string first = "level script, version one";
    const std::string waits = wadpath + ": waiting for another program to finish with it\n";
    const std::string changed = waits + filepath + ": file changed while being read\n";
    struct change {
        std::function<void()> act;
        int status;
        std::string err, after;
        bool compact = false;
    };
    const auto renameover = [&](const std::string &bytes) {
        return [&, bytes] {
            writefile(path("newer.wad"), bytes);
            std::filesystem::rename(fspath(path("newer.wad")), fspath(wadpath));
        };
    };
    const std::vector<change> cases = {
        {[&] { writefile(filepath, "cut"); }, 255, changed, before},
        {[&] { writefile(filepath, "level script, version two"); }, 255, changed, before},
        // Windows neither renames over nor deletes a file that is open: the
        // last cases are POSIX's.
        {renameover(newer), 0, waits, grafted(newer, 0, first)},
        {renameover(loose), 0, waits, makewad(twolevels(), "IWAD"), true},
        {[&] { std::filesystem::remove(fspath(wadpath)); }, 255,
         waits + wadpath + ": cannot open for update: No such file or directory\n", ""},
    };
    for (size_t i = 0; i < cases.size() - 3 * onwindows; i++) {
        SCOPED_TRACE(i);
        writefile(wadpath, before);
        writefile(filepath, first);
        FILE *holder = os_fopen(wadpath.c_str(), "r+b");
        ASSERT_NE(holder, nullptr);
        ASSERT_EQ(os_lock(fileno(holder)), 0);
        const process child =
            spawn(cases[i].compact ? std::vector<std::string>{LUMPGRAFT_BIN, "--compact", wadpath}
                                   : std::vector<std::string>{LUMPGRAFT_BIN, wadpath, filepath},
                  path("out"), path("err"));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        cases[i].act();
        ASSERT_EQ(fclose(holder), 0);
        EXPECT_EQ(reap(child), cases[i].status);
        EXPECT_EQ(readfile(path("err")), cases[i].err);
        EXPECT_TRUE(samebytes(readfile(wadpath), cases[i].after));
    }
}

TEST_F(ToolTest, ArchiveMappedByAnotherProgram)
{
    // A game may map the archive while a run edits it. Windows then refuses
    // to cut the parked directory off the end: the graft is done all the
    // same, and the run says what it left.
    const std::string before = makewad(twolevels());
    writefile(wadpath, before);
    writefile(filepath, "script");
    const mapping view = mapfile(wadpath);
    const result r = graft();
    unmapfile(view);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, okout(8, get32(before, 8), "MAP01"));
    const std::string after = readfile(wadpath);
    if (onwindows) {
        EXPECT_EQ(r.err, wadpath + ": warning: the graft is done, but the 128 bytes past its "
                                   "directory could not be cut off: another program has the "
                                   "file mapped into memory. lumpgraft --compact reclaims them.\n");
        EXPECT_TRUE(wadiswhole(after) && lumpsof(after) == lumpsof(grafted(before, 0, "script")));
    } else {
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(samebytes(after, grafted(before, 0, "script")));
    }
}

TEST_F(ToolTest, CompactionReclaimsWhatGraftsLeftBehind)
{
    // The first graft's bytes become unreferenced when the second replaces
    // them; all but the padding that keeps the second's alignment go.
    const std::string before =
        grafted(grafted(makewad(twolevels()), 4, "first graft"), 4, "second");
    writefile(wadpath, before);
    const std::vector<std::string> compact = {LUMPGRAFT_BIN, "--compact", wadpath};
    result r = run(dir, compact);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner + wadpath + ": 8 entries at " + std::to_string(get32(before, 8)) +
                         "\n" + wadpath + " compacted: 8 bytes reclaimed\n");
    const std::string after = readfile(wadpath);
    EXPECT_EQ(after.size(), before.size() - 8);
    EXPECT_TRUE(wadiswhole(after) && lumpsof(after) == lumpsof(before));

    // With nothing left to reclaim, the archive is not even touched.
    const auto stamp = std::filesystem::last_write_time(fspath(wadpath)) - std::chrono::hours(24);
    std::filesystem::last_write_time(fspath(wadpath), stamp);
    r = run(dir, compact);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with(wadpath + " compacted: 0 bytes reclaimed\n")) << r.out;
    EXPECT_EQ(std::filesystem::last_write_time(fspath(wadpath)), stamp);
    EXPECT_TRUE(samebytes(readfile(wadpath), after));

    // The directory first, then 5 bytes: the aligned layout would be 3 bytes
    // longer than the file, which is left as it is.
    const std::string dirfirst =
        header("PWAD", 2, 12) + record(0, 0, "MAP01") + record(44, 5, "THINGS") + "ttttt";
    writefile(wadpath, dirfirst);
    r = run(dir, compact);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with(wadpath + " compacted: 0 bytes reclaimed\n")) << r.out;
    EXPECT_TRUE(samebytes(readfile(wadpath), dirfirst));

    // A refused archive is never written.
    const std::string refused = header("pwad", 0, 12);
    writefile(wadpath, refused);
    r = run(dir, compact);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, wadpath + ": refused, nothing compacted\n");
    EXPECT_TRUE(samebytes(readfile(wadpath), refused));
}

TEST_F(ToolTest, CompactionNeedsRoomForWhatItMoves)
{
    // On a file system of 1 MiB, 600 KB that must move past 100 KB of
    // reclaimable bytes do not fit: nothing is written. With 3 MiB, they do.
    // Nor do they on a full one, or, for a user who may not use them, in
    // the blocks an ext2 volume reserves for root.
    if (onwindows)
        GTEST_SKIP() << "no small file system to mount";
    std::string big(600000, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = char(i * 7919 >> 7);
    const std::string before = header("PWAD", 2, 100012 + int64_t(big.size())) +
                               std::string(100000, 'd') + big + record(12, 0, "DEAD") +
                               record(100012, int64_t(big.size()), "BIG");
    writefile(path("before.wad"), before);
    std::filesystem::create_directory(fspath(path("small")));
#ifdef LUMPGRAFT_EMULATOR
    const std::string emulator = LUMPGRAFT_EMULATOR;
#else
    const std::string emulator;
#endif
    // Each compaction's status, output and archive land in the scratch
    // folder; the ext2 volume needs root, and its status stays empty
    // without it.
    const std::string script = R"(cp "$4" "$1/lumpgraft" && chmod 755 "$1/lumpgraft" || exit 1
for size in 1m 3m full ext2; do
  m=$1/$size as=
  mkdir "$m"
  case $size in
  full) mount -t tmpfs -o size=1m none "$m" || exit 77 ;;
  ext2) truncate -s 4M "$1/img" && mkfs.ext2 -q -m 50 "$1/img" &&
          mount -o loop "$1/img" "$m" 2>"$2/out.ext2" || { : >"$2/status.ext2"; continue; }
        chown 65534 "$m"; as="setpriv --reuid=65534 --regid=65534 --clear-groups" ;;
  *) mount -t tmpfs -o size=$size none "$m" || exit 77 ;;
  esac
  $as cp "$2/before.wad" "$m/game.wad"
  [ $size = 1m ] || [ $size = 3m ] || $as sh -c 'cat /dev/zero >"$0/fill"' "$m" 2>/dev/null
  $as $3 "$1/lumpgraft" --compact "$m/game.wad" >"$2/out.$size" 2>&1; echo $? >"$2/status.$size"
  cp "$m/game.wad" "$2/after.$size"
done)";
    const result r = run(dir, {"unshare", asroot() ? "-m" : "-rm", "sh", "-c", script,
                               "sh", path("small"), dir, emulator, LUMPGRAFT_BIN});
    if (r.status != 0)
        GTEST_SKIP() << "cannot mount a small file system here (it needs root or user "
                        "namespaces): "
                     << r.err;
    for (const char *fs : {"1m", "full", "ext2"}) {
        SCOPED_TRACE(fs);
        const std::string status = readfile(path("status.") + fs);
        if (status.empty()) {
            std::cout << "no ext2 volume with reserved blocks mounted here (it needs root and "
                         "a loop device): "
                      << readfile(path("out.ext2")) << "\n";
            continue;
        }
        EXPECT_EQ(status, "255\n");
        const std::string needs = "compactwad: " + path("small") + "/" + fs +
                                  "/game.wad: moving the data needs 600032 bytes of free space, "
                                  "and the file system has ";
        const std::string out = readfile(path("out.") + fs);
        EXPECT_NE(out.find(fs == std::string("full") ? needs + "0; nothing was written" : needs),
                  std::string::npos)
            << out;
        EXPECT_TRUE(samebytes(readfile(path("after.") + fs), before));
    }
    EXPECT_EQ(readfile(path("status.3m")), "0\n") << readfile(path("out.3m"));
    EXPECT_TRUE(samebytes(readfile(path("after.3m")), makewad({{"DEAD", ""}, {"BIG", big}})));
}

TEST_F(ToolTest, ControlBytesInNamesAreEscaped)
{
    // A crafted name cannot drive the terminal; printable ASCII and valid
    // UTF-8 letters pass unchanged.
    struct name {
        std::string stored, shown;
    };
    const std::vector<name> cases = {
        {"MAP01", "MAP01"},
        {"M\x1b[2J\x7f\xc3\xbc", "M\\x1b[2J\\x7f\xc3\xbc"},    // C0 and DEL
        {"\xc2\x9b" "2J\xc2\x9bH", "\\xc2\\x9b2J\\xc2\\x9bH"}, // C1 (CSI) as UTF-8
        {"\x9b" "2J\x9bH", "\\x9b2J\\x9bH"},                 // bytes of no UTF-8
        {"AB\xe5\x9c", "AB\\xe5\\x9c"},                      // a letter cut short
        {"A\xc2\x9f" "B", "A\\xc2\\x9fB"},                     // U+009F, the last C1
        {"A\xed\xa0\x80" "B", "A\\xed\\xa0\\x80B"},           // a UTF-16 surrogate
        {"MAP 1\x05", "MAP 1\\x05"},                          // a space, and two digits
        {"K\xc3\xbcste", "K\xc3\xbcste"},                      // a UTF-8 letter
    };
    writefile(filepath, "abc");
    for (const name &c : cases) {
        std::vector<lump> lumps = twolevels();
        lumps[0].name = c.stored;
        writefile(wadpath, makewad(lumps));
        const result r = graft();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\nlevel: " + c.shown + "\n"), std::string::npos) << r.out;
    }
}

TEST_F(ToolTest, MessagesKeepTheirOrderInOneLog)
{
    writefile(wadpath, makewad(twolevels()));
    writefile(filepath, "abc");
    const result r = run(dir, {LUMPGRAFT_BIN, wadpath, filepath, "NOPE"}, {.merged = true});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, banner + filepath + " loaded: 3 bytes\n" + wadpath + ": 8 entries at " +
                         std::to_string(get32(makewad(twolevels()), 8)) + "\n" +
                         notfound("NOPE"));
}

TEST_F(ToolTest, NamesOutsideAscii)
{
    // UTF-8 arguments name the files, and are printed back byte for byte.
    const std::string before = makewad(twolevels());
    for (const char *name : {"K\xc3\xbcste.wad", "\xe5\x9c\xb0\xe5\x9b\xb3.wad"}) {
        SCOPED_TRACE(name);
        wadpath = path(name);
        filepath = path("\xd1\x83\xd1\x80\xd0\xbe\xd0\xb2\xd0\xb5\xd0\xbd\xd1\x8c.txt");
        writefile(wadpath, before);
        writefile(filepath, "script");
        const result r = graft();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, okout(8, get32(before, 8), "MAP01"));
        EXPECT_TRUE(samebytes(readfile(wadpath), grafted(before, 0, "script")));
    }
}

TEST_F(ScratchTest, ConcurrentRunsTakeTurns)
{
    const std::string before = makewad(twolevels());
    const std::string wadpath = path("game.wad");
    writefile(wadpath, before);

    // The test holds the archive's lock while it starts the runs: none may
    // write before it lets go, and then they take turns.
    FILE *holder = os_fopen(wadpath.c_str(), "r+b");
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(os_lock(fileno(holder)), 0);
    constexpr int runs = 16;
    std::vector<std::string> files;
    std::vector<process> children;
    size_t total = 0;
    for (int i = 0; i < runs; i++) {
        files.push_back(std::string(size_t(1000 + 37 * i), char('A' + i)));
        total += files.back().size();
        const std::string filepath = path("f" + std::to_string(i));
        writefile(filepath, files.back());
        const std::string out = path("out" + std::to_string(i));
        children.push_back(spawn({LUMPGRAFT_BIN, wadpath, filepath}, out, out));
    }
    const std::string waits = wadpath + ": waiting for another program to finish with it\n";
    const process lister = spawn({LUMPGRAFT_BIN, "--list", wadpath}, path("listed"), path("listerr"));
#ifndef _WIN32
    const process stopped = spawn({LUMPGRAFT_BIN, wadpath, path("f0")}, path("sout"), path("serr"));
#endif
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(samebytes(readfile(wadpath), before)) << "a run wrote while the lock was held";
    EXPECT_EQ(readfile(path("listed")), "") << "--list read while the lock was held";
    EXPECT_TRUE(readfile(path("listerr")).ends_with(waits));
#ifdef __linux__
    // --list opens the archive only to read it, so that a read-only one is
    // listed too.
    const std::string proc = "/proc/" + std::to_string(lister);
    int opened = 0;
    for (const auto &fd : std::filesystem::directory_iterator(proc + "/fd")) {
        if (std::filesystem::read_symlink(fd.path()) == wadpath) {
            const std::string info = readfile(proc + "/fdinfo/" + fd.path().filename().string());
            EXPECT_EQ(std::stoi(info.substr(info.find("flags:") + 6), nullptr, 8) & O_ACCMODE,
                      O_RDONLY);
            opened++;
        }
    }
    EXPECT_EQ(opened, 1);
#endif
#ifndef _WIN32
    kill(stopped, SIGINT); // waiting for the lock, it ends at once, silently
#endif
    ASSERT_EQ(fclose(holder), 0);
    EXPECT_EQ(reap(lister), 0);
#ifndef _WIN32
    EXPECT_EQ(reap(stopped), 128 + SIGINT);
    EXPECT_EQ(readfile(path("serr")), waits);
#endif
    // Extracts among them give MAP01's data whole, as one run or none left it.
    for (int i = 0; i < 4; i++)
        children.push_back(spawn({LUMPGRAFT_BIN, "--extract", wadpath}, path("x" + std::to_string(i)),
                                 path("xerr")));
    for (int i = 0; i < runs + 4; i++)
        EXPECT_EQ(reap(children[size_t(i)]), 0) << readfile(path("out" + std::to_string(i)));
    files.push_back("");
    for (int i = 0; i < 4; i++)
        EXPECT_NE(std::find(files.begin(), files.end(), readfile(path("x" + std::to_string(i)))),
                  files.end());

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
#ifndef _WIN32
    // --extract writes once it has released the lock: a reader that reads
    // nothing holds up no graft.
    writefile(path("big"), std::string(1 << 20, 'b'));
    ASSERT_EQ(run(dir, {LUMPGRAFT_BIN, wadpath, path("big")}).status, 0);
    const int reader = makefifo(path("pipe"));
    const process blocked = spawn({LUMPGRAFT_BIN, "--extract", wadpath}, path("pipe"), path("perr"));
    pollfd written = {reader, POLLIN, 0};
    ASSERT_EQ(poll(&written, 1, 60000), 1);
    const process grafting = spawn({LUMPGRAFT_BIN, wadpath, path("f0")}, path("gout"), path("gout"));
    int status = -1;
    for (int tries = 0; tries < 600 && waitpid(grafting, &status, WNOHANG) == 0; tries++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readfile(path("gout"));
    char drain[1 << 16];
    while (fcntl(reader, F_SETFL, 0) == 0 && read(reader, drain, sizeof drain) > 0) {
    }
    EXPECT_EQ(reap(blocked), 0);
    close(reader);
#endif
}

// The leading string literals of a call, joined: its format. `args` starts
// just after the opening parenthesis.
std::string formatof(const std::string &args)
{
    std::string format;
    for (size_t at = args.find_first_not_of(" \n"); at < args.size() && args[at] == '"';) {
        size_t end = at + 1;
        while (end < args.size() && args[end] != '"')
            end += args[end] == '\\' ? 2 : 1;
        format += args.substr(at + 1, end - at - 1);
        at = args.find_first_not_of(" \n", end + 1);
    }
    return format;
}

TEST(ManualPage, ListsEveryMessageTheCommandPrints)
{
    // Each piece of text between the conversions of a format the command can
    // print must be in its manual page, as its source writes it (writewad and
    // addentry, cachelump and copywad, in directory.cpp and lumps.cpp, are the
    // library's alone); and each of the library's, in the library's manual.
    const auto lacks = [](const std::string &pagepath, const std::string &source) {
        std::string page = readfile(pagepath);
        for (size_t at; (at = page.find("\\-")) != std::string::npos;)
            page.erase(at, 1);
        int formats = 0;
        for (const std::string name : {"errorexit(", "printf(", "fprintf(stderr,", "refuse(",
                                       "format(", "note(", "wadfail(WADERR_"}) {
            for (size_t at = source.find(name); at != std::string::npos;
                 at = source.find(name, at + 1)) {
                // wadfail's format follows the kind of error.
                const size_t args = name.ends_with('_') ? source.find(',', at) + 1 : at + name.size();
                const std::string format = formatof(source.substr(args, 400)) + "%";
                formats += format.size() > 1;
                std::string piece;
                for (size_t i = 0; i < format.size(); i++) {
                    if (format[i] == '\\' && format[i + 1] == 'n') {
                        piece += ' ';
                        i++;
                    } else if (format[i] != '%') {
                        piece += format[i];
                    } else {
                        i += strspn(format.c_str() + i + 1, "-0123456789.lz") + 1;
                        const size_t first = piece.find_first_not_of(' ');
                        piece = first == std::string::npos
                                    ? ""
                                    : piece.substr(first, piece.find_last_not_of(' ') - first + 1);
                        if (std::any_of(piece.begin(), piece.end(), isalpha)) {
                            EXPECT_NE(page.find(piece), std::string::npos)
                                << pagepath << " lacks \"" << piece << "\"";
                        }
                        piece.clear();
                    }
                }
            }
        }
        return formats;
    };
    std::string reached, library; // by the command, and by any program
    for (const auto &room : std::filesystem::directory_iterator(LUMPGRAFT_SOURCE "/waddir")) {
        const std::string name = room.path().filename().string();
        if (!name.ends_with(".cpp") || name.starts_with("os_") || name == "faults.cpp")
            continue;
        library += readfile(room.path().string());
        if (name != "directory.cpp" && name != "lumps.cpp")
            reached += readfile(room.path().string());
    }
    for (const auto &file : std::filesystem::directory_iterator(LUMPGRAFT_SOURCE "/tool"))
        reached += readfile(file.path().string());
    EXPECT_GT(lacks(LUMPGRAFT_SOURCE "/man/lumpgraft.1.in", reached), 40);
    EXPECT_GT(lacks(LUMPGRAFT_SOURCE "/man/waddir.3.in", library), 50);
}

} // namespace
