// SPDX-License-Identifier: MIT
// libFuzzer target: any bytes as an archive. The reader must refuse or load
// them without a crash or a sanitizer report, a loaded directory must
// survive being written back and read again, and compaction and the
// replacement of a lump's data must keep the other lumps' bytes.

#include "waddir.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

static void check(bool ok)
{
    if (!ok)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;

    const int fd = memfd_create("fuzz.wad", 0);
    check(fd >= 0);
    check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
    wadfp = fdopen(fd, "r+b");
    check(wadfp != nullptr);
    wadname = "fuzz.wad";
    memset(wadentry, 0, sizeof wadentry);

    if (readwad() == 0) {
        // Names taken from the input itself, so that lookups can hit.
        char name[9] = {};
        memcpy(name, data + 12 * (size > 20), size > 20 ? 8 : 0);
        const int found = entry_exist(name);
        check(found >= -1 && found < numentries);
        const wadentry_t info = findinfo(name);
        check(found == -1 || memcmp(&info, &wadentry[found], sizeof info) == 0);
        findlevelsize(name);
        for (int i = -1; i <= numentries; i++) {
            islevel(i);
            if (i >= 0 && i < numentries) {
                check(strlen(convert_string8(wadentry[i])) <= 8);
                islevelentry(convert_string8(wadentry[i]));
                const wadentry_t &e = wadentry[i];
                if (e.size >= 0 && e.filepos >= 0 &&
                    int64_t{e.filepos} + e.size <= static_cast<int64_t>(size))
                    free(cachelump(i));
            }
        }

        // Write back and read again: the same directory.
        static wadentry_t saved[MAXWADENTRIES];
        const int32_t count = numentries;
        memcpy(saved, wadentry, sizeof saved);
        writewad();
        check(readwad() == 0 && numentries == count &&
              memcmp(saved, wadentry, size_t(count) * sizeof(wadentry_t)) == 0);

        // Compaction keeps every lump's bytes and never grows the archive,
        // when every lump lies in the file's data.
        std::string before;
        bool compactable = true;
        for (int i = 0; i < count; i++) {
            const wadentry_t &e = wadentry[i];
            compactable = compactable && e.size >= 0 &&
                          (e.size == 0 || (e.filepos >= WADHEADERSIZE &&
                                           int64_t{e.filepos} + e.size <= int64_t(size)));
            if (compactable && e.size > 0)
                before.append(reinterpret_cast<const char *>(data) + e.filepos, size_t(e.size));
        }
        if (compactable) {
            const int64_t reclaimed = compactwad();
            check(reclaimed >= 0 && readwad() == 0 && numentries == count);
            std::string after;
            for (int i = 0; i < count; i++) {
                if (wadentry[i].size > 0) {
                    unsigned char *lump = cachelump(i);
                    after.append(reinterpret_cast<const char *>(lump), size_t(wadentry[i].size));
                    free(lump);
                }
            }
            check(after == before && wadlength() == int64_t(size) - reclaimed);
        }

        // Replacing entry 0's data keeps the bytes of every other lump that
        // lies in the file's data as it was (past the header, which changes).
        const int64_t length = wadlength();
        const auto others = [count, length] {
            std::string bytes;
            for (int i = 1; i < count; i++) {
                const wadentry_t &e = wadentry[i];
                if (e.size > 0 && e.filepos >= WADHEADERSIZE &&
                    int64_t{e.filepos} + e.size <= length) {
                    unsigned char *lump = cachelump(i);
                    bytes.append(reinterpret_cast<const char *>(lump), size_t(e.size));
                    free(lump);
                }
            }
            return bytes;
        };
        if (count > 0) {
            const std::string kept = others();
            const int32_t len = int32_t(size % 97);
            check(wadreplace(0, data, len) == 0 && readwad() == 0 && numentries == count);
            unsigned char *lump = cachelump(0);
            check(wadentry[0].size == len && memcmp(lump, data, size_t(len)) == 0);
            free(lump);
            check(others() == kept);
        }

        if (count < MAXWADENTRIES) {
            addentry(wadentry_t{0, 0, {'N', 'E', 'W'}});
            check(readwad() == 0 && numentries == count + 1);
        }
    }

    check(fclose(wadfp) == 0);
    wadfp = nullptr;
    return 0;
}
