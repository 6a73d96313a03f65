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

// What a fatal error ends first, while a change is under way.
static void (*ending)(bool handled);

void wadonerror(waderrorhandler_t handler, void *context)
{
    errorhandler = handler;
    errorcontext = context;
}

int waderror()
{
    return lasterror;
}

void endonfatal(void (*end)(bool handled))
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

// `fmt` formatted, in a buffer that lives until the next call.
static const char *formatted(const char *fmt, va_list args)
{
    static char *message;
    static char fallback[256];
    va_list copy;
    va_copy(copy, args);
    const int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    char *room = n >= 0 ? static_cast<char *>(realloc(message, size_t(n) + 1)) : nullptr;
    if (!room) {
        vsnprintf(fallback, sizeof fallback, fmt, args);
        return fallback;
    }
    message = room;
    vsnprintf(message, size_t(n) + 1, fmt, args);
    return message;
}

const char *format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const char *text = formatted(fmt, args);
    va_end(args);
    return text;
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
// that a kill while the change is undone cannot hide the reason; a handler
// is given it once the change is undone, its lock released and whatever the
// failing call opened or allocated let go, with errno as the failing call
// left it.
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
        if (ending)
            ending(false);
        // _Exit, not exit: the program's own streams are left as they are.
        std::_Exit(255);
    }
    const char *message = formatted(fmt, args);
    if (ending)
        ending(true);
    tellhandler(message, reason);
    fflush(stdout);
    fputs(message, stderr);
    fflush(stderr);
    std::_Exit(255);
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
