// SPDX-License-Identifier: MIT
// lock: the archive's lock and its lifetime. wadlock takes it for the
// program, until the program closes the stream; a change takes it for its
// own duration unless the stream holds it already. The lock belongs to the
// open file it was taken through, and this process's records of the
// program's locks are believed only while the system does not belie them:
// a descriptor number comes back after a close, on the same file or
// another, and a forked child inherits its parent's descriptors.

#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

// The locks taken for the program with wadlock: the descriptor, the file,
// and the process that took it; an empty slot has pid 0, which no process
// has.
struct heldlock {
    int fd;
    os_fileid id;
    int64_t pid;
};
static heldlock heldlocks[64];

// Whether the record `h` may still be true: its descriptor is still open on
// its file, and the system does not say that it no longer holds the lock.
static bool stillheld(const heldlock &h)
{
    os_filestat st;
    return os_fstat(h.fd, &st) == 0 && os_sameid(st.id, h.id) && os_lockheld(h.fd) != 0;
}

// Drop the records no longer true.
static void dropstale()
{
    for (heldlock &h : heldlocks) {
        if (h.pid != 0 && !stillheld(h))
            h = {-1, {}, 0};
    }
}

// The record of this process's wadlock through fd, on file `id`, while it
// may still be true.
static heldlock *recordof(int fd, const os_fileid &id)
{
    dropstale();
    for (heldlock &h : heldlocks) {
        if (h.pid == os_pid() && h.fd == fd && os_sameid(h.id, id))
            return &h;
    }
    return nullptr;
}

// Whether this process holds the lock of file `id` through another open
// file than fd's, which a wait through fd would wait for forever: by its
// own record, by one a forked child inherited with the descriptor that
// shares its parent's lock, or as the system sees it.
static bool heldelsewhere(int fd, const os_fileid &id)
{
    dropstale();
    for (const heldlock &h : heldlocks) {
        if (h.pid != 0 && os_sameid(h.id, id) && (h.fd != fd || h.pid != os_pid()))
            return true;
    }
    return os_lockelsewhere(fd) == 1;
}

// A shared lock fd holds is one a change cannot use and must not convert. A
// record is never reason enough not to take the lock: where the system
// cannot tell, taking it again through the descriptor that holds it costs
// nothing, and is then not taken here.
int takelock(int fd, const os_fileid &id, bool wait, bool *took)
{
    *took = false;
    // A record the system now belies (of a descriptor closed and opened
    // anew, say) goes before the lock is taken through that descriptor.
    dropstale();
    const int held = os_lockheld(fd);
    if (held == 1)
        return 0;
    if (held == 2) {
        errno = EBUSY;
        return -1;
    }
    int r = os_lock(fd, false);
    if (r == 1) {
        if (heldelsewhere(fd, id)) {
            errno = EDEADLK;
            return -1;
        }
        if (!wait)
            return 1;
        r = os_lock(fd, true);
    }
    if (r != 0)
        return -1;
    *took = held == 0 || !recordof(fd, id);
    return 0;
}

// wadlock, waiting for the lock or not. A lock the descriptor holds already
// (a change under way took it, or the program did itself) becomes the
// program's as it is.
static int lockwad(bool wait)
{
    const int fd = wadfp ? fileno(wadfp) : -1;
    os_filestat st;
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (os_fstat(fd, &st) != 0)
        return -1;
    heldlock *slot = recordof(fd, st.id);
    if (!slot)
        slot = std::find_if(std::begin(heldlocks), std::end(heldlocks),
                            [](const heldlock &h) { return h.pid == 0; });
    if (slot == std::end(heldlocks)) {
        errno = ENOLCK;
        return -1;
    }
    bool took;
    const int r = takelock(fd, st.id, wait, &took);
    if (r == 0)
        *slot = {fd, st.id, os_pid()};
    return r;
}

int wadlock()
{
    return lockwad(true);
}

int wadtrylock()
{
    return lockwad(false);
}

void releaselock(int fd, const os_fileid &id)
{
    // All is durable by now; a release that fails leaves the lock until the
    // stream is closed, which releases it anyway.
    os_filestat st;
    if (os_fstat(fd, &st) == 0 && os_sameid(st.id, id) && !recordof(fd, id))
        os_unlock(fd);
}
