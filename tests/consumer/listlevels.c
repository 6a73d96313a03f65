// SPDX-License-Identifier: MIT
// Lists the level markers of an archive, through the installed library: each
// marker's name, its own data size and its level's size. Given a level and a
// text, it first stores the text as that marker's data, safely in place. It
// is C99, and compiles as C++ too.
#include <waddir.h>

#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4)
        errorexit("usage: listlevels wadfile [level text]\n");
    wadfp = fopen(argv[1], argc == 4 ? "r+b" : "rb");
    if (!wadfp)
        errorexit("%s: cannot open\n", argv[1]);
    wadname = argv[1];
    if (readwad() != 0)
        return 1;
    if (argc == 4) {
        const int n = entry_exist(argv[2]);
        if (n < 0)
            errorexit("%s: no level %s\n", argv[1], argv[2]);
        if (wadreplace(n, argv[3], (int32_t)strlen(argv[3])) != 0)
            printf("the old directory is still past the end\n");
    }
    for (int i = 0; i < numentries; i++) {
        if (islevel(i))
            printf("%s %i %i\n", convert_string8(wadentry[i]), wadentry[i].size,
                   findlevelsize(convert_string8(wadentry[i])));
    }
    return fclose(wadfp) == 0 ? 0 : 1;
}
