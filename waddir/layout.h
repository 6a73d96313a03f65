// SPDX-License-Identifier: MIT
// layout: where a compaction puts each run of referenced bytes and the
// directory, worked out from the directory and the file's length alone. It
// does no I/O, so that every layout can be tried without a file; compactwad
// then only carries the plan out. Internal to the library.

#ifndef LAYOUT_H
#define LAYOUT_H

#include "waddir.h"


// A run of referenced bytes that moves as one: lumps that overlap or touch
// make one span, kept whole, and spans with only padding between them move
// by the same distance.
struct wadspan {
    int64_t start, end; // where it lies now
    int64_t parked;     // where its copy waits past the end of the file
    int64_t final;      // where it goes
};

struct wadlayout {
    int32_t spancount;  // spans, in the order of their offsets
    int32_t moved;      // the first span that moves; the ones before stay
    wadspan spans[MAXWADENTRIES];
    int64_t newdir;     // where the final directory goes
    int64_t newlength;  // where the file then ends
    bool shorter;       // newlength is below the file's length: something is
                        // reclaimed (otherwise nothing is to be written)
    bool moves;         // an entry or the directory changes place
    int64_t parkeddir;  // where the directory of the parked copies goes
    int64_t parkedend;  // and where it ends: how long the file grows
    wadentry_t parked[MAXWADENTRIES]; // pointing at the parked copies
    wadentry_t final[MAXWADENTRIES];  // pointing at the final places
    int32_t order[MAXWADENTRIES];     // the lumps that hold bytes, by offset
};

// Plans the compaction of a file of `length` bytes whose directory of
// `count` entries lies at `diroffset`. Returns -1, or the index of the first
// entry whose bytes are not in the file's data (after the header, before
// the end), which cannot be kept as they are; the plan is then unfinished.
int32_t plancompaction(const wadentry_t *dir, int32_t count, int32_t diroffset, int64_t length,
                       wadlayout *plan);

#endif
