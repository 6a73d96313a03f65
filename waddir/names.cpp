// SPDX-License-Identifier: MIT
// names: entry names (matching, the ring of converted names, names made
// printable) and the questions about level structure asked of them.

#include "internal.h"

#include <cstring>

// Names compare case-sensitively over at most eight characters, stopping at
// the first NUL on either side.
bool namematches(const wadentry_t &entry, const char *name)
{
    return strncmp(entry.name, name, sizeof entry.name) == 0;
}

char *convert_string8(wadentry_t entry)
{
    // Slot 0 is never handed out; slots 1 to 99 form the ring.
    constexpr int slotsize = 10;
    constexpr int slots = 100;
    static char temp[slots * slotsize];
    static int tempnum = 1;

    if (++tempnum == slots)
        tempnum = 1;
    char *slot = temp + tempnum * slotsize;
    memset(slot, 0, sizeof entry.name + 1);
    memcpy(slot, entry.name, sizeof entry.name);
    return slot;
}

// The length of the well-formed UTF-8 sequence of a character from U+0080
// up that starts `s`, of which `n` bytes are left; 0 when none does.
static size_t utf8length(const unsigned char *s, size_t n)
{
    size_t len;
    uint32_t c, least;
    if (s[0] >= 0xc2 && s[0] <= 0xdf)
        len = 2, c = s[0] & 0x1fu, least = 0x80;
    else if (s[0] >= 0xe0 && s[0] <= 0xef)
        len = 3, c = s[0] & 0x0fu, least = 0x800;
    else if (s[0] >= 0xf0 && s[0] <= 0xf4)
        len = 4, c = s[0] & 0x07u, least = 0x10000;
    else
        return 0;
    if (len > n)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        c = c << 6 | (s[i] & 0x3fu);
    }
    return c < least || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff) ? 0 : len;
}

printname_t printable_string8(wadentry_t entry)
{
    printname_t out{};
    char *at = out.text;
    const auto *name = reinterpret_cast<const unsigned char *>(entry.name);
    const size_t n = strnlen(entry.name, sizeof entry.name);
    for (size_t i = 0; i < n;) {
        // Printable ASCII and valid UTF-8 letters pass; control characters
        // (C0, DEL, and C1 as UTF-8) and bytes of no valid sequence do not.
        size_t len = name[i] < 0x80 ? 1 : utf8length(name + i, n - i);
        const bool control = name[i] < 0x20 || name[i] == 0x7f ||
                             (len == 2 && name[i] == 0xc2 && name[i + 1] < 0xa0);
        if (len > 0 && !control) {
            memcpy(at, name + i, len);
            at += len;
        } else {
            len = len > 0 ? len : 1;
            for (size_t j = i; j < i + len; j++)
                at += snprintf(at, 5, "\\x%02x", name[j]);
        }
        i += len;
    }
    return out;
}

int entry_exist(const char *name)
{
    if (!tablesearchable())
        return -1;
    for (int i = 0; i < numentries && i < MAXWADENTRIES; i++) {
        if (namematches(wadentry[i], name))
            return i;
    }
    return -1;
}

wadentry_t findinfo(const char *name)
{
    static wadentry_t entry;
    const int i = entry_exist(name);
    if (i >= 0)
        return wadentry[i];
    memset(&entry, 0, sizeof entry);
    return entry;
}

// ---------------------------------------------------------------------------
// Level structure

int islevel(int n)
{
    if (!tablesearchable() || n < 0 || n >= MAXWADENTRIES - 1 || int64_t{n} + 1 >= numentries)
        return 0;
    return namematches(wadentry[n + 1], "THINGS");
}

int islevelentry(const char *name)
{
    static const char *const levellumps[] = {
        "LINEDEFS", "SIDEDEFS", "SECTORS", "VERTEXES", "REJECT", "BLOCKMAP",
        "NODES",    "THINGS",   "SEGS",    "SSECTORS", "BEHAVIOR",
    };
    for (const char *lump : levellumps) {
        if (strcmp(name, lump) == 0)
            return 1;
    }
    return 0;
}

int32_t findlevelsize(const char *name)
{
    const int n = entry_exist(name);
    if (n < 0)
        return -1;
    int64_t sum = 0;
    for (int i = n + 1; i <= n + 10 && i < numentries && i < MAXWADENTRIES; i++)
        sum += wadentry[i].size;
    if (sum < INT32_MIN || sum > INT32_MAX)
        return -1;
    return static_cast<int32_t>(sum);
}
