// SPDX-License-Identifier: MIT
// compact: the compaction, as a change that carries out the plan layout.cpp
// works out from numbers alone.

#include "internal.h"
#include "layout.h"

#include <cerrno>
#include <cstring>

int64_t compactwad()
{
    const char *const op = "compactwad";
    beginchange(op, true);
    const int64_t length = filelength(op);
    static wadlayout plan;
    const int32_t bad = plancompaction(wadentry, numentries, diroffset, length, &plan);
    if (bad >= 0)
        wadfail(WADERR_ARCHIVE, "%s: %s: entry %i (%s): a lump of %i bytes at %i is not in the file's data\n",
                  op, archive(), bad, printable_string8(wadentry[bad]).text, wadentry[bad].size,
                  wadentry[bad].filepos);
    if (!plan.shorter) {
        endchange(); // nothing to reclaim: the archive is not written
        return 0;
    }

    // When lumps move, the protocol keeps the archive whole on the way.
    // When only bytes past the directory go, or there is no directory to
    // keep whole, the header can point at the final place at once.
    if (plan.moves && numentries > 0) {
        needoffsets(plan.parkedend, " on the way", op);
        const int64_t needed = plan.parkedend - length;
        const int64_t available = os_freespace(changefd());
        if (available >= 0 && available < needed)
            wadfail(WADERR_SYSTEM, "%s: %s: moving the data needs %lld bytes of free space, and the file "
                      "system has %lld; nothing was written\n",
                      op, archive(), static_cast<long long>(needed),
                      static_cast<long long>(available));

        extendwad(length);
        int64_t moving = 0;
        for (int32_t s = plan.moved; s < plan.spancount; s++)
            moving += plan.spans[s].end - plan.spans[s].start;
        willwrite(2 * moving); // past the end, then into place
        for (int32_t s = plan.moved; s < plan.spancount; s++) {
            const wadspan &span = plan.spans[s];
            copywithin(span.start, span.parked, span.end - span.start, op);
        }
        memcpy(wadentry, plan.parked, size_t(numentries) * sizeof(wadentry_t));
        parkwad(plan.parked, numentries, wad, plan.parkeddir, op);

        // The data now goes over places the old directory references: from
        // here a failure leaves the header on the parked directory, which
        // references only the data before the first change and the copies
        // past the old end, nothing where the data goes.
        keepparked();
        for (int32_t s = plan.moved; s < plan.spancount; s++) {
            const wadspan &span = plan.spans[s];
            copywithin(span.parked, span.final, span.end - span.start, op);
        }
        memcpy(wadentry, plan.final, size_t(numentries) * sizeof(wadentry_t));
    }
    if (plan.moves) {
        diroffset = static_cast<int32_t>(plan.newdir);
        commitwad(op);
    }
    // The cut is what a compaction is for: the run fails without it, with
    // the archive whole and its lumps in their final places.
    const int cut = cutwad(plan.newlength);
    if (cut == WADCUTFAILED)
        wadfail(WADERR_SYSTEM, "%s: %s: the archive is whole and its lumps are in place, but cutting it to "
                  "%lld bytes failed: %s; compacting it again shortens it\n",
                  op, archive(), static_cast<long long>(plan.newlength), os_strerror(errno));
    if (cut == WADCUTUNSYNCED)
        wadfail(WADERR_SYSTEM, "%s: %s: the archive is whole, its lumps are in place and it is cut to %lld "
                  "bytes, but making the cut durable failed: %s; after a crash it may be longer "
                  "again, and compacting it again shortens it\n",
                  op, archive(), static_cast<long long>(plan.newlength), os_strerror(errno));
    endchange();
    return length - plan.newlength;
}
