// SPDX-License-Identifier: MIT
// lumpgraft: what the command's files share: the run's names, the level
// file (files.cpp) and the identity of files.

#ifndef LUMPGRAFT_H
#define LUMPGRAFT_H

#include "os.h"
#include "waddir.h"

#include <cstdint>

extern const char *wadfile_name;        // the archive, as typed
extern const char *graftfile_name;      // the level file, as typed
extern const char *graftfile_levelname; // the level asked for, or "THINGS"
extern int32_t graftfile_len;           // the level file's length
extern unsigned char *graftfile_data;   // its bytes, when held in memory
extern os_filestat wadfile_stat;        // the archive's, when it was opened

// Open the level file and take its length and, when small, its bytes;
// then, once the archive is locked, check it and hold what must be held.
void read_graftfile();
void hold_graftfile();
// The level file's bytes from `at` on, as the library stores them.
const void *graftfile_source(size_t at, size_t len, void *context);
// Whether the level file is a WAD archive itself.
bool graftfile_isawad();
// The status of the file `path` names now; whether two are one file.
bool statpath(const char *path, os_filestat *st);
bool samefile(const os_filestat &a, const os_filestat &b);

#endif
