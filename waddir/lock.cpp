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
// the process that took it, and the record's number, which no other record
// of the process had; an empty slot has pid 0, which no process has.
struct heldlock {
    int fd;
    os_fileid id;
    int64_t pid;
    uint64_t number;
};
static heldlock heldlocks[64];
static uint64_t lastnumber;

// Whether the record `h` may still be true: its descriptor is still open on
// its file, and the system does not say that it no longer holds the lock.
// `heldfd` is what the system said just now of descriptor fd's lock.
static bool stillheld(const heldlock &h, int fd, int heldfd)
{
    os_filestat st;
    return os_fstat(h.fd, &st) == 0 && os_sameid(st.id, h.id) &&
           (h.fd == fd ? heldfd : os_lockheld(h.fd)) != 0;
}

// Drop the records no longer true.
static void dropstale(int fd, int heldfd)
{
    for (heldlock &h : heldlocks) {
        if (h.pid != 0 && !stillheld(h, fd, heldfd))
            h = {-1, {}, 0, 0};
    }
}

// This process's record of a wadlock through fd, on file `id`, as it stands
// (only takelock drops the records no longer true).
static heldlock *recordof(int fd, const os_fileid &id)
{
    const int64_t me = os_pid();
    for (heldlock &h : heldlocks) {
        if (h.pid == me && h.fd == fd && os_sameid(h.id, id))
            return &h;
    }
    return nullptr;
}

uint64_t lockrecord(int fd, const os_fileid &id)
{
    const heldlock *h = recordof(fd, id);
    return h ? h->number : 0;
}

// Whether this process holds the lock of file `id` through another open
// file than fd's, which a wait through fd would wait for forever: by its
// own record, by one a forked child inherited with the descriptor that
// shares its parent's lock, or as the system sees it.
static bool heldelsewhere(int fd, const os_fileid &id)
{
    const int64_t me = os_pid();
    for (const heldlock &h : heldlocks) {
        if (h.pid != 0 && os_sameid(h.id, id) && (h.fd != fd || h.pid != me))
            return true;
    }
    return os_lockelsewhere(fd) == 1;
}

// A shared lock fd holds is one a change cannot use and must not convert. A
// record is never reason enough not to take the lock: where the system
// cannot tell, taking it again through the descriptor that holds it costs
// nothing, and is then not taken here.
int takelock(int fd, const os_fileid &id, bool wait, bool *took, uint64_t *since)
{
    *took = false;
    *since = 0;
    // A record the system now belies (of a descriptor closed and opened
    // anew, say) goes before the lock is taken through that descriptor.
    const int held = os_lockheld(fd);
    dropstale(fd, held);
    if (held == 1) {
        *since = lockrecord(fd, id);
        return 0;
    }
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
    bool took;
    uint64_t since;
    const int r = takelock(fd, st.id, wait, &took, &since);
    if (r != 0 || recordof(fd, st.id))
        return r;
    heldlock *slot = std::find_if(std::begin(heldlocks), std::end(heldlocks),
                                  [](const heldlock &h) { return h.pid == 0; });
    if (slot == std::end(heldlocks)) {
        if (took)
            os_unlock(fd);
        errno = ENOLCK;
        return -1;
    }
    *slot = {fd, st.id, os_pid(), ++lastnumber};
    return 0;
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
