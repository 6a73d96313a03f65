/* SPDX-License-Identifier: MIT
 * safefloor: the least a safe graft can cost. It stores FILE as the data of
 * entry N of ARCHIVE, whose directory must be the last thing in the file,
 * with the same five barriers, writes and offsets as lumpgraft, and nothing
 * else: no lock, no checks, no messages, no undo.
 *
 *   safefloor ARCHIVE FILE N
 *
 * 1. the directory copied past the new end, durable;
 * 2. the header pointing at that copy, durable;
 * 3. the data over the old directory and the new directory after it, durable;
 * 4. the header pointing at the new directory, durable;
 * 5. the copy cut off, durable.
 * Little-endian hosts only; a benchmark's reference, not a tool. */
#define _FILE_OFFSET_BITS 64
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static void fail(const char *what)
{
    perror(what);
    exit(1);
}

static void put(int fd, const void *buf, size_t len, off_t at)
{
    if (pwrite(fd, buf, len, at) != (ssize_t)len)
        fail("pwrite");
}

static void barrier(int fd)
{
    if (fdatasync(fd) != 0)
        fail("fdatasync");
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: safefloor ARCHIVE FILE N\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR);
    const int in = open(argv[2], O_RDONLY);
    struct stat st, inst;
    if (fd < 0 || in < 0 || fstat(fd, &st) != 0 || fstat(in, &inst) != 0)
        fail("open");
    unsigned char header[12];
    if (pread(fd, header, 12, 0) != 12)
        fail("pread");
    int32_t count, diroff;
    memcpy(&count, header + 4, 4);
    memcpy(&diroff, header + 8, 4);
    const size_t dirbytes = (size_t)count * 16;
    const int n = atoi(argv[3]);
    if (diroff + (off_t)dirbytes != st.st_size || n < 0 || n >= count) {
        fprintf(stderr, "safefloor: the directory must end the file, and hold entry %d\n", n);
        return 1;
    }
    unsigned char *dir = malloc(dirbytes), *data = malloc((size_t)inst.st_size);
    if (!dir || !data)
        fail("malloc");
    if (pread(fd, dir, dirbytes, diroff) != (ssize_t)dirbytes ||
        read(in, data, (size_t)inst.st_size) != inst.st_size)
        fail("read");
    const int32_t size = (int32_t)inst.st_size, newdir = diroff + size;
    const off_t newend = (off_t)newdir + (off_t)dirbytes;

    put(fd, dir, dirbytes, newend);
    barrier(fd);
    const int32_t parked = (int32_t)newend;
    memcpy(header + 8, &parked, 4);
    put(fd, header, 12, 0);
    barrier(fd);
    memcpy(dir + (size_t)n * 16, &diroff, 4);
    memcpy(dir + (size_t)n * 16 + 4, &size, 4);
    put(fd, data, (size_t)size, diroff);
    put(fd, dir, dirbytes, newdir);
    barrier(fd);
    memcpy(header + 8, &newdir, 4);
    put(fd, header, 12, 0);
    barrier(fd);
    if (ftruncate(fd, newend) != 0)
        fail("ftruncate");
    barrier(fd);
    return close(fd) == 0 ? 0 : 1;
}
