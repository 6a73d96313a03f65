// SPDX-License-Identifier: MIT
// Archives made byte by byte, files in a scratch folder, and whether an
// archive is whole, with what it holds.

#ifndef ARCHIVES_H
#define ARCHIVES_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace testwad {

std::string le32(int64_t v);
int32_t get32(const std::string &s, size_t at);
std::string header(const char *magic, int64_t count, int64_t offset);
// A 16-byte directory record; `name` may hold up to eight bytes, NULs included.
std::string record(int64_t pos, int64_t size, const std::string &name);

struct lump {
    std::string name;
    std::string data;
};
bool operator==(const lump &a, const lump &b);
void PrintTo(const lump &l, std::ostream *os);

// An archive laid out as tools usually write it: header, lump data in
// directory order, directory, then `trailing` bytes (nothing, normally).
std::string makewad(const std::vector<lump> &lumps, const char *magic = "PWAD",
                    const std::string &trailing = "");
// Two small levels, as the sample archive has them.
std::vector<lump> twolevels();

// Paths are UTF-8 strings, as the command takes them on every system.
std::filesystem::path fspath(const std::string &utf8);
std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &bytes);

// A fresh folder for one test, removed afterwards.
class ScratchTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override;
    void TearDown() override;
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

// An archive is whole when its header is sound, its directory lies inside
// the file after the header, and every lump lies inside the file.
::testing::AssertionResult wadiswhole(const std::string &w);
// Archives compare by their length and first differing offset: a diff of
// two archives of many megabytes would help nobody, and could exhaust memory.
::testing::AssertionResult samebytes(const std::string &got, const std::string &want);
// The entries of a whole archive as (name, data) pairs, in directory order.
std::vector<lump> lumpsof(const std::string &w);
// What a successful run must make of `before`, given the file's bytes and
// the receiving entry n. When the directory is the last thing in the archive,
// the bytes go where it stood; otherwise at the end of the file. The
// directory follows them, with entry n pointing at them.
std::string grafted(const std::string &before, int n, const std::string &file);

} // namespace testwad

#endif
