// SPDX-License-Identifier: MIT
// The fault points of a test build (faults.h): the plan, read once from the
// environment, the calls counted against it, and the record.

#include "faults.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

// The plan and the calls counted so far, once for the whole process: the
// library and the command share this one object. A program the process
// starts is another process, and reads its own.
static struct {
    bool parsed, known;
    char path[1024], log[1024];
    os_fileid id;
    struct {
        char call[16];
        int when;
        bool later;
        int what; // an errno value, or -1 for a kill, -2 for a short write,
                  // -3 for a hangup
    } faults[64];
    int nfaults;
    struct {
        char call[16];
        int made;
    } calls[32];
} plan;

OS_NOTHROW static void parse()
{
    static char call[16], what[16];
    static int when, used;
    plan.parsed = true;
    const char *path = getenv("LUMPGRAFT_FAULTPATH"), *log = getenv("LUMPGRAFT_FAULTLOG");
    snprintf(plan.path, sizeof plan.path, "%s", path ? path : "");
    snprintf(plan.log, sizeof plan.log, "%s", log ? log : "");
    plan.known = plan.path[0] && os_rawpathid(plan.path, &plan.id);
    const char *faults = getenv("LUMPGRAFT_FAULTS");
    while (faults && *faults && plan.nfaults < 64 &&
           sscanf(faults, "%15[^:]:%15[^:]:%d%n", call, what, &when, &used) == 3) {
        auto &f = plan.faults[plan.nfaults++];
        memcpy(f.call, call, sizeof f.call);
        f.when = when;
        faults += used;
        f.later = *faults == '+';
        faults += f.later;
        faults += *faults == ',';
        f.what = strcmp(what, "kill") == 0    ? -1
                 : strcmp(what, "short") == 0 ? -2
                 : strcmp(what, "hangup") == 0 ? -3
                 : strcmp(what, "ENOSPC") == 0 ? ENOSPC
                 : strcmp(what, "EINTR") == 0  ? EINTR
                                               : EIO;
    }
}

os_fault os_faultpoint(const char *call, int fd, const char *path)
{
    static os_fileid id;
    if (!plan.parsed)
        parse();
    os_fault f = {call, fd, false, os_go};
    f.watched = plan.path[0] && (path ? strcmp(path, plan.path) == 0
                                      : plan.known && os_rawid(fd, &id) && os_sameid(id, plan.id));
    if (!f.watched)
        return f;
    int i = 0;
    while (i < 31 && plan.calls[i].call[0] && strcmp(plan.calls[i].call, call) != 0)
        i++;
    snprintf(plan.calls[i].call, sizeof plan.calls[i].call, "%s", call);
    const int made = ++plan.calls[i].made;
    for (int k = 0; k < plan.nfaults; k++) {
        const auto &planned = plan.faults[k];
        if (strcmp(planned.call, call) != 0 ||
            !(made == planned.when || (planned.later && made > planned.when)))
            continue;
        if (planned.what == -1)
            os_kill();
        if (planned.what == -3) {
            os_hangup();
            break;
        }
        f.action = planned.what == -2 ? os_short : os_fail;
        os_raiseerror(planned.what == -2 ? EIO : planned.what);
        break;
    }
    return f;
}

// Appends `count` records' worth of text to the record, keeping errno.
OS_NOTHROW static void append(const char *text, const unsigned char *bytes, size_t count,
                              const char *tail)
{
    const int err = errno;
    FILE *log = fopen(plan.log, "ab");
    if (log) {
        fputs(text, log);
        for (size_t i = 0; bytes && i < count; i++)
            fprintf(log, "\\x%02x", bytes[i]);
        fputs(tail, log);
        fclose(log);
    }
    errno = err;
}

static const char *status(int64_t result)
{
    return result >= 0 ? "" : errno == ENOSPC ? " ENOSPC" : errno == EINTR ? " EINTR" : " EIO";
}

void os_faultrecord(const os_fault &f, int64_t result, const char *fmt, ...)
{
    static char line[1536];
    if (!f.watched || !plan.log[0])
        return;
    {
        static char args[1024];
        va_list list;
        va_start(list, fmt);
        vsnprintf(args, sizeof args, fmt, list);
        va_end(list);
        snprintf(line, sizeof line, "%s(%d%s) = %lld%s\n", f.call, f.fd, args,
                 static_cast<long long>(result), status(result));
    }
    append(line, nullptr, 0, "");
}

void os_faultrecordwrite(const os_fault &f, int64_t result, const void *data, size_t len,
                         int64_t offset)
{
    static char head[64], tail[128];
    if (!f.watched || !plan.log[0])
        return;
    snprintf(head, sizeof head, "%s(%d, \"", f.call, f.fd);
    snprintf(tail, sizeof tail, "\", %zu, %lld) = %lld%s\n", len, static_cast<long long>(offset),
             static_cast<long long>(result), status(result));
    append(head, static_cast<const unsigned char *>(data), len, tail);
}

FILE *os_failure(FILE *)
{
    return nullptr;
}

void *os_failure(void *)
{
    return reinterpret_cast<void *>(intptr_t{-1});
}

int64_t os_traced(FILE *fp)
{
    return fp ? fileno(fp) : -1;
}

int64_t os_traced(void *handle)
{
    return handle == os_failure(handle) ? -1 : 0;
}
