// SPDX-License-Identifier: MIT
// layout: the compaction's plan, from the directory and the file's length
// alone (see layout.h).

#include "layout.h"

#include <algorithm>

// The lowest offset at or after `from` that lies at `like`'s offset modulo
// 4: where data that stood at `like` goes without losing its alignment.
static int64_t alignedlike(int64_t from, int64_t like)
{
    return from + ((like - from) % 4 + 4) % 4;
}

// Where an entry at `filepos` points once the spans lie at their parked or
// final offsets. A lump moves with its span. An empty entry in a span moves
// with it; one in a reclaimed gap or past the data goes to the end of the
// span before it, so that none points past the end of the file. Nothing
// before `firstchange`, the first byte whose content changes, moves.
static int32_t movedpos(int32_t filepos, const wadspan *spans, int32_t count,
                        int64_t firstchange, bool parked)
{
    if (filepos < firstchange)
        return filepos;
    const wadspan *after = std::upper_bound(
        spans, spans + count, int64_t{filepos},
        [](int64_t pos, const wadspan &span) { return pos < span.start; });
    if (after == spans)
        return WADHEADERSIZE; // in a gap before the first span
    const wadspan &span = after[-1];
    const int64_t at = std::min(int64_t{filepos}, span.end) - span.start;
    return static_cast<int32_t>((parked ? span.parked : span.final) + at);
}

int32_t plancompaction(const wadentry_t *dir, int32_t count, int32_t diroffset, int64_t length,
                       wadlayout *plan)
{
    const int64_t dirbytes = int64_t{count} * WADENTRYSIZE;

    // The lumps that reference bytes, in the order of their offsets. Bytes
    // that are not in the file, or are the header's, cannot be kept as
    // they are.
    int32_t sized = 0;
    for (int32_t i = 0; i < count; i++) {
        const wadentry_t &e = dir[i];
        if (e.size < 0 ||
            (e.size > 0 && (e.filepos < WADHEADERSIZE || int64_t{e.filepos} + e.size > length)))
            return i;
        if (e.size > 0)
            plan->order[sized++] = i;
    }
    std::sort(plan->order, plan->order + sized,
              [dir](int32_t a, int32_t b) { return dir[a].filepos < dir[b].filepos; });

    // The new layout: each span at the lowest offset after the one before
    // that keeps its alignment, then the directory, placed the same way.
    wadspan *const spans = plan->spans;
    int32_t &spancount = plan->spancount;
    spancount = 0;
    int64_t end = WADHEADERSIZE;
    for (int32_t j = 0; j < sized;) {
        const int64_t start = dir[plan->order[j]].filepos;
        int64_t stop = start;
        for (; j < sized && dir[plan->order[j]].filepos <= stop; j++)
            stop = std::max(stop, int64_t{dir[plan->order[j]].filepos} + dir[plan->order[j]].size);
        const int64_t at = alignedlike(end, start);
        if (spancount > 0 && spans[spancount - 1].start - spans[spancount - 1].final == start - at)
            spans[spancount - 1].end = stop;
        else
            spans[spancount++] = {start, stop, start, at};
        end = at + (stop - start);
    }
    plan->newdir = alignedlike(end, diroffset);
    plan->newlength = plan->newdir + dirbytes;
    plan->shorter = plan->newlength < length;

    int32_t &moved = plan->moved;
    moved = 0;
    while (moved < spancount && spans[moved].final == spans[moved].start)
        moved++;
    const int64_t firstchange = moved < spancount        ? spans[moved].final
                                : plan->newdir != diroffset ? plan->newdir
                                                            : plan->newlength;

    // The data that moves is parked past the end of the file, where nothing
    // the header references lies, then the directory that points at it.
    int64_t parkend = length;
    for (int32_t s = moved; s < spancount; s++) {
        spans[s].parked = alignedlike(parkend, spans[s].start);
        parkend = spans[s].parked + (spans[s].end - spans[s].start);
    }
    plan->parkeddir = alignedlike(parkend, diroffset);
    plan->parkedend = plan->parkeddir + dirbytes;

    plan->moves = plan->newdir != diroffset;
    for (int32_t i = 0; i < count; i++) {
        plan->parked[i] = plan->final[i] = dir[i];
        plan->parked[i].filepos = movedpos(dir[i].filepos, spans, spancount, firstchange, true);
        plan->final[i].filepos = movedpos(dir[i].filepos, spans, spancount, firstchange, false);
        plan->moves = plan->moves || plan->final[i].filepos != dir[i].filepos;
    }
    return -1;
}
