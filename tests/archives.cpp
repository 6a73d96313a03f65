// SPDX-License-Identifier: MIT

#include "archives.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace testwad {

std::string le32(int64_t v)
{
    std::string s(4, '\0');
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((u >> (8 * i)) & 0xff);
    return s;
}

int32_t get32(const std::string &s, size_t at)
{
    uint32_t u = 0;
    for (int i = 3; i >= 0; i--)
        u = (u << 8) | static_cast<unsigned char>(s.at(at + i));
    return static_cast<int32_t>(u);
}

std::string header(const char *magic, int64_t count, int64_t offset)
{
    return std::string(magic, 4) + le32(count) + le32(offset);
}

std::string record(int64_t pos, int64_t size, const std::string &name)
{
    std::string n = name.substr(0, 8);
    n.resize(8, '\0');
    return le32(pos) + le32(size) + n;
}

bool operator==(const lump &a, const lump &b)
{
    return a.name == b.name && a.data == b.data;
}

void PrintTo(const lump &l, std::ostream *os)
{
    *os << l.name << "(" << l.data.size() << " bytes)";
}

std::string makewad(const std::vector<lump> &lumps, const char *magic, const std::string &trailing)
{
    std::string data, dir;
    for (const auto &l : lumps) {
        dir += record(12 + int64_t(data.size()), int64_t(l.data.size()), l.name);
        data += l.data;
    }
    return header(magic, int64_t(lumps.size()), 12 + int64_t(data.size())) +
           data + dir + trailing;
}

std::vector<lump> twolevels()
{
    return {{"MAP01", ""},        {"THINGS", "t1t1t1t1t1"},
            {"LINEDEFS", "l1l1"}, {"SECTORS", "s1s1s1"},
            {"MAP02", ""},        {"THINGS", "t2t2"},
            {"LINEDEFS", "l2l2l2"}, {"PLAYPAL", "pppp"}};
}

std::filesystem::path fspath(const std::string &utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string readfile(const std::string &path)
{
    std::ifstream in(fspath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writefile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(fspath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void ScratchTest::SetUp()
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

void ScratchTest::TearDown()
{
    if (!dir.empty())
        std::filesystem::remove_all(fspath(dir));
}

::testing::AssertionResult wadiswhole(const std::string &w)
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

::testing::AssertionResult samebytes(const std::string &got, const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    const size_t common = std::min(got.size(), want.size());
    const size_t at = size_t(std::mismatch(got.begin(), got.begin() + long(common), want.begin()).first -
                             got.begin());
    return ::testing::AssertionFailure() << got.size() << " bytes where " << want.size()
                                         << " were expected, first differing at offset " << at;
}

std::vector<lump> lumpsof(const std::string &w)
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

std::string grafted(const std::string &before, int n, const std::string &file)
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

} // namespace testwad
