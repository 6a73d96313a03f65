// SPDX-License-Identifier: MIT
// Lists the level markers of an archive, through the installed library: each
// marker's name, its own data size and its level's size.
#include <waddir.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        errorexit("usage: listlevels wadfile\n");
    wadfp = fopen(argv[1], "rb");
    if (!wadfp)
        errorexit("%s: cannot open\n", argv[1]);
    wadname = argv[1];
    if (readwad() != 0)
        return 1;
    for (int i = 0; i < numentries; i++) {
        if (islevel(i))
            printf("%s %i %i\n", convert_string8(wadentry[i]), wadentry[i].size,
                   findlevelsize(convert_string8(wadentry[i])));
    }
    return fclose(wadfp) == 0 ? 0 : 1;
}
