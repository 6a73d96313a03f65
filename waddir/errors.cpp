// SPDX-License-Identifier: MIT
// errors: the program's one fatal exit (errorexit), the handler a program
// may set instead (wadonerror), the kind of the last fatal error
// (waderror), and the library's own lines (wadmsgfp). It reports; ending
// the change under way belongs to the change, which registers its end here
// while it is under way.

#include "internal.h"

#include <cerrno>
#include <cstdlib>

FILE *wadmsgfp;

// The program's handler of fatal errors, and what it is given with them.
static waderrorhandler_t errorhandler;
static void *errorcontext;

// The kind of the last fatal error, and how many a handler went on from.
static int lasterror;
static unsigned survived;

// What a fatal error ends first, while a change is under way: it says what
// the archive then holds.
static const char *(*ending)(bool handled);

void wadonerror(waderrorhandler_t handler, void *context)
{
    errorhandler = handler;
    errorcontext = context;
}

int waderror()
{
    return lasterror;
}

void endonfatal(const char *(*end)(bool handled))
{
    ending = end;
}

unsigned survivederrors()
{
    return survived;
}

const char *archive()
{
    return wadname ? wadname : "archive";
}

// `fmt` formatted, in buffer `slot` (0 or 1), which lives until the next
// call that uses it.
static const char *formatted(int slot, const char *fmt, va_list args)
{
    static char *messages[2];
    static char fallbacks[2][256];
    char *&message = messages[slot];
    char *fallback = fallbacks[slot];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    char *room = n >= 0 ? static_cast<char *>(realloc(message, size_t(n) + 1)) : nullptr;
    if (!room) {
        vsnprintf(fallback, sizeof fallbacks[slot], fmt, args);
        return fallback;
    }
    message = room;
    vsnprintf(message, size_t(n) + 1, fmt, args);
    return message;
}

__attribute__((format(WADDIR_PRINTF_FORMAT, 1, 2))) static const char *format1(const char *fmt,
                                                                                 ...)
{
    va_list args;
    va_start(args, fmt);
    const char *text = formatted(1, fmt, args);
    va_end(args);
    return text;
}

const char *format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const char *text = formatted(0, fmt, args);
    va_end(args);
    return text;
}

// The message of a fatal error, and after it, for a change under way, a line
// that says what the archive holds once it is ended.
static const char *withholds(const char *message, const char *holds)
{
    return holds ? format1("%s%s: %s\n", message, archive(), holds) : message;
}

// The end of what a handled fatal error leaves: the handler is given the
// message, and may leave; if it returns, the message is printed after all.
static void tellhandler(const char *message, int reason)
{
    if (!errorhandler)
        return;
    survived++;
    errno = reason;
    errorhandler(message, errorcontext);
}

// A fatal error of `kind`. Without a handler, the message comes first, so
// that a kill while the change is undone cannot hide the reason, then what
// the archive holds; a handler is given both once the change is undone, its
// lock released and whatever the failing call opened or allocated let go,
// with errno as the failing call left it.
[[noreturn]] static void fail(int kind, const char *fmt, va_list args)
{
    const int reason = errno;
    lasterror = kind;
    if (!errorhandler) {
        // Progress lines come first, so the fatal message follows them in a
        // log that captures both streams.
        fflush(stdout);
        vfprintf(stderr, fmt, args);
        fflush(stderr);
        if (const char *holds = ending ? ending(false) : nullptr)
            fprintf(stderr, "%s: %s\n", archive(), holds);
        // As _Exit, not exit: the program's own streams are left as they are.
        os_exit(255);
    }
    const char *message = formatted(0, fmt, args);
    message = withholds(message, ending ? ending(true) : nullptr);
    tellhandler(message, reason);
    fflush(stdout);
    fputs(message, stderr);
    fflush(stderr);
    os_exit(255);
}

void errorexit(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fail(WADERR_CALLER, fmt, args);
}

void wadfail(int kind, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    fail(kind, fmt, args);
}

void endbyinterruption(int signal, const char *message)
{
    lasterror = WADERR_INTERRUPTED;
    fflush(stdout);
    tellhandler(message, EINTR);
    fputs(message, stderr);
    fflush(stderr);
    os_endbysignal(signal);
}

void vnote(const char *fmt, va_list args)
{
    vfprintf(wadmsgfp ? wadmsgfp : stdout, fmt, args);
}

void note(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vnote(fmt, args);
    va_end(args);
}
