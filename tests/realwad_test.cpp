// The command on real game archives (Debian's freedoom), judged by programs
// nobody here wrote: deutex extracts the grafted lump, and chocolate-doom
// plays the first demo of the edited archive to the same tic count.

#include "testwad.h"


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
        EXPECT_EQ(readfile(wadpath), once);
        r = graft(wadpath, script + script, {g.firstlevel});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readfile(wadpath), grafted(once, things - 1, script + script));

        // A named level of a fresh copy.
        writefile(wadpath, original);
        r = graft(wadpath, script, {g.otherlevel});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readfile(wadpath), grafted(original, indexof(original, g.otherlevel), script));
    }
}

TEST_F(RealWadTest, DeutexExtractsTheGraftedLump)
{
    NEED("/usr/games/deutex", "deutex");
    for (const game &g : games) {
        SCOPED_TRACE(g.wad);
        NEED(gamedir + g.wad, "freedoom");
        const std::string wadpath = copygame(g);
        ASSERT_EQ(graft(wadpath, script, {g.otherlevel}).status, 0);

        // deutex wants the IWAD under its usual name in a folder of its own.
        std::filesystem::create_directories(path("iwad"));
        std::filesystem::remove(path("iwad/" + g.iwadname));
        std::filesystem::create_symlink(gamedir + g.wad, path("iwad/" + g.iwadname));
        const result r = run(dir, {"sh", "-c",
                                   "cd '" + dir + "' && /usr/games/deutex " + g.deutex +
                                       " iwad -get " + g.otherlevel + " '" + wadpath + "'"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        std::string lmp = g.otherlevel + ".lmp";
        for (char &c : lmp)
            c = char(tolower(c));
        EXPECT_EQ(readfile(path(lmp)), script);
    }
}

TEST_F(RealWadTest, EnginePlaysTheFirstDemoAlike)
{
    NEED("/usr/games/chocolate-doom", "chocolate-doom");
    NEED("/usr/bin/xvfb-run", "xvfb");
    std::filesystem::create_directories(path("home"));
    const auto timedemo = [&](const std::string &iwad) {
        const result r = run(dir, {"env", "HOME=" + path("home"), "SDL_AUDIODRIVER=dummy",
                                   "xvfb-run", "-a", "/usr/games/chocolate-doom", "-iwad",
                                   iwad, "-timedemo", "demo1", "-nodraw", "-nosound",
                                   "-nomusic", "-nogui"});
        // "timed N gametics in M realtics"
        const std::string log = r.out + r.err;
        const size_t at = log.find("timed ");
        EXPECT_NE(at, std::string::npos) << log;
        return at == std::string::npos ? -1 : atoi(log.c_str() + at + 6);
    };
    for (const game &g : games) {
        SCOPED_TRACE(g.wad);
        NEED(gamedir + g.wad, "freedoom");
        const std::string wadpath = copygame(g);
        ASSERT_EQ(graft(wadpath, script).status, 0);
        ASSERT_EQ(graft(wadpath, script, {g.otherlevel}).status, 0);
        const int before = timedemo(gamedir + g.wad);
        EXPECT_GT(before, 0);
        EXPECT_EQ(timedemo(wadpath), before);
    }
}

} // namespace
