// SPDX-License-Identifier: MIT
// The command on real game archives (Debian's freedoom), judged by programs
// nobody here wrote: deutex and python3-omg read the grafted lump back, and
// chocolate-doom plays the first demo, on the level that was edited, to the
// same tic count.

#include "archives.h"
#include "processes.h"

#include <algorithm>

using namespace testwad;

namespace {

const std::string gamedir = "/usr/share/games/doom/";

struct game {
    std::string wad;     // file name in gamedir
    std::string deutex;  // deutex's game option and the IWAD name it wants
    std::string iwadname;
    std::string firstlevel, otherlevel;
};

const game games[] = {
    {"freedoom1.wad", "-doom", "doom.wad", "E1M1", "E1M2"},
    {"freedoom2.wad", "-doom2", "doom2.wad", "MAP01", "MAP07"},
};

bool have(const std::string &file)
{
    return access(file.c_str(), R_OK | (file.starts_with("/usr/games") ? X_OK : 0)) == 0;
}

// Stops the test when `need` skipped or failed it.
#define NEED(file, package)                                                    \
    do {                                                                       \
        need(file, package);                                                   \
        if (IsSkipped() || HasFatalFailure())                                  \
            return;                                                            \
    } while (0)

class RealWadTest : public ScratchTest {
protected:
    // Skip when a package is missing, except in CI, which installs them all.
    void need(const std::string &file, const char *package)
    {
        if (have(file))
            return;
        const char *ci = getenv("CI");
        if (ci && std::string(ci) == "true")
            FAIL() << file << " is missing: install the Debian package " << package;
        GTEST_SKIP() << file << " is missing: install the Debian package " << package;
    }

    // Index of the first entry named `name`, read independently of the library.
    static int indexof(const std::string &wad, const std::string &name)
    {
        const std::vector<lump> lumps = lumpsof(wad);
        for (size_t i = 0; i < lumps.size(); i++) {
            if (lumps[i].name == name)
                return int(i);
        }
        return -1;
    }

    result graft(const std::string &wadpath, const std::string &file,
                 std::vector<std::string> level = {})
    {
        writefile(path("script.txt"), file);
        std::vector<std::string> argv = {LUMPGRAFT_BIN, wadpath, path("script.txt")};
        argv.insert(argv.end(), level.begin(), level.end());
        return run(dir, argv);
    }

    std::string copygame(const game &g)
    {
        const std::string copy = path(g.wad);
        writefile(copy, readfile(gamedir + g.wad));
        return copy;
    }
};

const std::string script = "// level script\nscript 1 OPEN { print(s:\"hello\"); }\n";

TEST_F(RealWadTest, GraftsGiveExactlyTheExpectedBytes)
{
    for (const game &g : games) {
        SCOPED_TRACE(g.wad);
        NEED(gamedir + g.wad, "freedoom");
        const std::string original = readfile(gamedir + g.wad);
        ASSERT_TRUE(wadiswhole(original));
        const int things = indexof(original, "THINGS");
        ASSERT_EQ(lumpsof(original)[size_t(things - 1)].name, g.firstlevel);
        const std::string wadpath = copygame(g);

        // Default level, then the same level again with another file.
        result r = graft(wadpath, script);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("level: " + g.firstlevel + "\n"), std::string::npos);
        const std::string once = grafted(original, things - 1, script);
        EXPECT_TRUE(samebytes(readfile(wadpath), once));
        r = graft(wadpath, script + script, {g.firstlevel});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(samebytes(readfile(wadpath), grafted(once, things - 1, script + script)));

        // A named level of a fresh copy, which --extract gives back and
        // --list shows, each marker with its data's size and offset.
        writefile(wadpath, original);
        r = graft(wadpath, script, {g.otherlevel});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string after = readfile(wadpath);
        EXPECT_TRUE(samebytes(after, grafted(original, indexof(original, g.otherlevel), script)));
        EXPECT_EQ(run(dir, {LUMPGRAFT_BIN, "--extract", wadpath, g.otherlevel}).out, script);
        std::string listing;
        const std::vector<lump> lumps = lumpsof(after);
        for (size_t i = 0, at = size_t(get32(after, 8)); i + 1 < lumps.size(); i++, at += 16) {
            if (lumps[i + 1].name == "THINGS")
                listing += lumps[i].name + " " + std::to_string(get32(after, at + 4)) + " " +
                           std::to_string(get32(after, at)) + "\n";
        }
        EXPECT_EQ(run(dir, {LUMPGRAFT_BIN, "--list", wadpath}).out, listing);

        // Every level's data, grafted in turn, comes back whole to a file.
        for (size_t i = 0; i + 1 < lumps.size(); i++) {
            if (lumps[i + 1].name != "THINGS")
                continue;
            const std::string data = script + lumps[i].name + "\n";
            ASSERT_EQ(graft(wadpath, data, {lumps[i].name}).status, 0);
            EXPECT_EQ(run(dir, {LUMPGRAFT_BIN, "--extract", wadpath, lumps[i].name, path("back")})
                          .status, 0);
            EXPECT_EQ(readfile(path("back")), data) << lumps[i].name;
        }
    }
}

TEST_F(RealWadTest, IndependentReadersFindTheGraftedLump)
{
    NEED("/usr/games/deutex", "deutex");
    NEED("/usr/bin/python3", "python3");
    NEED("/usr/lib/python3/dist-packages/omg/__init__.py", "python3-omg");
    for (const game &g : games) {
        SCOPED_TRACE(g.wad);
        NEED(gamedir + g.wad, "freedoom");
        const std::string wadpath = copygame(g);
        ASSERT_EQ(graft(wadpath, script, {g.otherlevel}).status, 0);

        // deutex wants the IWAD under its usual name in a folder of its own.
        std::filesystem::create_directories(path("iwad"));
        std::filesystem::remove(path("iwad/" + g.iwadname));
        std::filesystem::create_symlink(gamedir + g.wad, path("iwad/" + g.iwadname));
        result r = run(dir, {"sh", "-c",
                             "cd '" + dir + "' && /usr/games/deutex " + g.deutex +
                                 " iwad -get " + g.otherlevel + " '" + wadpath + "'"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::string lmp = g.otherlevel + ".lmp";
        for (char &c : lmp)
            c = char(tolower(c));
        EXPECT_EQ(readfile(path(lmp)), script);

        // omg finds every level, and the grafted level's header lump holds
        // exactly the file.
        r = run(dir, {"/usr/bin/python3", "-c",
                      "import omg, sys\n"
                      "wad = omg.WAD(sys.argv[1])\n"
                      "print(' '.join(wad.maps.keys()))\n"
                      "open(sys.argv[3], 'wb').write(wad.maps[sys.argv[2]]['_HEADER_'].data)\n",
                      wadpath, g.otherlevel, path("omg.lmp")});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<lump> lumps = lumpsof(readfile(gamedir + g.wad));
        std::string levels;
        for (size_t i = 0; i + 1 < lumps.size(); i++) {
            if (lumps[i + 1].name == "THINGS")
                levels += (levels.empty() ? "" : " ") + lumps[i].name;
        }
        EXPECT_EQ(r.out, levels + "\n");
        EXPECT_EQ(readfile(path("omg.lmp")), script);
    }
}

TEST_F(RealWadTest, CompactionKeepsEveryLumpAndLeavesOnlyPadding)
{
    NEED("/usr/games/deutex", "deutex");
    NEED("/usr/lib/python3/dist-packages/omg/__init__.py", "python3-omg");
    const game &g = games[1];
    NEED(gamedir + g.wad, "freedoom");
    const std::string wadpath = copygame(g);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(graft(wadpath, std::string(size_t(1000 + 333 * i), char('a' + i)), {g.firstlevel}).status, 0);
    ASSERT_EQ(graft(wadpath, script, {g.otherlevel}).status, 0);
    ASSERT_EQ(graft(wadpath, script + script, {g.firstlevel}).status, 0);

    // Every entry and its bytes, as python3-omg's reader sees them.
    const auto omglumps = [&] {
        const result r = run(dir, {"/usr/bin/python3", "-c",
                                   "import hashlib, omg.wadio, sys\n"
                                   "w = omg.wadio.WadIO(sys.argv[1])\n"
                                   "for i, e in enumerate(w.entries):\n"
                                   "    print(e.name, hashlib.sha1(w.read(i)).hexdigest())\n",
                                   wadpath});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const std::string lumps = omglumps();
    const std::string before = readfile(wadpath);
    const result r = run(dir, {LUMPGRAFT_BIN, "--compact", wadpath});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string after = readfile(wadpath);
    EXPECT_NE(r.out.find(" compacted: " + std::to_string(before.size() - after.size()) +
                         " bytes reclaimed\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(omglumps(), lumps);

    // The file is the header, then the referenced ranges with no gap wider
    // than padding, then the directory, and ends there.
    std::vector<std::pair<int64_t, int64_t>> ranges;
    const int64_t count = get32(after, 4), diroffset = get32(after, 8);
    for (int64_t i = 0; i < count; i++) {
        const int64_t pos = get32(after, size_t(diroffset + 16 * i));
        const int64_t len = get32(after, size_t(diroffset + 16 * i + 4));
        if (len > 0)
            ranges.push_back({pos, pos + len});
    }
    std::sort(ranges.begin(), ranges.end());
    int64_t end = 12, padding = 0;
    for (const auto &[from, to] : ranges) {
        EXPECT_LT(from - end, 4) << "a gap of " << from - end << " bytes at " << end;
        padding += std::max<int64_t>(0, from - end);
        end = std::max(end, to);
    }
    EXPECT_LT(diroffset - end, 4);
    EXPECT_EQ(int64_t(after.size()), diroffset + 16 * count);
    EXPECT_LT(after.size(), before.size() - 5000);

    // deutex counts the same unused bytes: the padding alone.
    const result unused = run(dir, {"/usr/games/deutex", "-unused", wadpath});
    EXPECT_NE(unused.out.find("Total wasted bytes\t" + std::to_string(padding + diroffset - end) + "\n"),
              std::string::npos)
        << unused.out << unused.err;
}

// The level a demo plays, from its header: version, skill, episode, map.
std::string demolevel(const std::string &wad, const game &g)
{
    for (const lump &l : lumpsof(wad)) {
        if (l.name == "DEMO1" && l.data.size() > 4) {
            const int episode = l.data[2], map = l.data[3];
            char name[16];
            if (g.firstlevel.starts_with("E"))
                snprintf(name, sizeof name, "E%dM%d", episode, map);
            else
                snprintf(name, sizeof name, "MAP%02d", map);
            return name;
        }
    }
    return "";
}

TEST_F(RealWadTest, EnginePlaysTheEditedLevelAlike)
{
    NEED("/usr/games/chocolate-doom", "chocolate-doom");
    NEED("/usr/bin/xvfb-run", "xvfb");
    std::filesystem::create_directories(path("home"));
    // Plays the first demo to its end: "timed N gametics in M realtics".
    const auto timedemo = [&](const std::string &iwad) {
        const result r = run(dir, {"env", "HOME=" + path("home"), "SDL_AUDIODRIVER=dummy",
                                   "xvfb-run", "-a", "/usr/games/chocolate-doom", "-iwad",
                                   iwad, "-timedemo", "demo1", "-nodraw", "-nosound",
                                   "-nomusic", "-nogui"});
        const std::string log = r.out + r.err;
        const size_t at = log.find("timed ");
        EXPECT_NE(at, std::string::npos) << log;
        return at == std::string::npos ? -1 : atoi(log.c_str() + at + 6);
    };
    for (const game &g : games) {
        SCOPED_TRACE(g.wad);
        NEED(gamedir + g.wad, "freedoom");
        const std::string level = demolevel(readfile(gamedir + g.wad), g);
        ASSERT_NE(level, "") << "no first demo";
        const std::string wadpath = copygame(g);
        ASSERT_EQ(graft(wadpath, script).status, 0);
        const result r = graft(wadpath, script, {level});
        ASSERT_EQ(r.status, 0);
        ASSERT_NE(r.out.find("level: " + level + "\n"), std::string::npos) << r.out;
        // The level, moved by a compaction, plays the same.
        ASSERT_EQ(graft(wadpath, script + script, {level}).status, 0);
        ASSERT_EQ(run(dir, {LUMPGRAFT_BIN, "--compact", wadpath}).status, 0);
        const int before = timedemo(gamedir + g.wad);
        EXPECT_GT(before, 0);
        EXPECT_EQ(timedemo(wadpath), before);
    }
}

} // namespace
