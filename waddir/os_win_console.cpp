// SPDX-License-Identifier: MIT
// os.h on Windows: the process and its console. The arguments as UTF-8, the
// standard streams, the exit, the console's events as interruptions, and
// their names; os_win.cpp has the files. As there, nothing of the C++
// runtime is used.

#include "os.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

// The console's code page before the run, put back when it ends.
static UINT consolecodepage;
static void restoreconsole()
{
    if (consolecodepage)
        SetConsoleOutputCP(consolecodepage);
}

bool os_isterminal(int fd)
{
    DWORD mode;
    const HANDLE h = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void os_exit(int status)
{
    restoreconsole();
    _Exit(status);
}

int os_startup(int *argc, char ***argv)
{
    // Windows passes main its arguments in the ANSI code page, which cannot
    // hold every name: take them from the UTF-16 command line instead, in
    // memory kept for the whole run. Without memory for them, the ANSI ones
    // stay.
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    char **args = wide ? static_cast<char **>(calloc(size_t(n) + 1, sizeof(char *))) : nullptr;
    bool whole = args != nullptr;
    for (int i = 0; whole && i < n; i++) {
        const int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        args[i] = static_cast<char *>(calloc(size_t(len > 0 ? len : 1), 1));
        whole = args[i] != nullptr;
        if (whole)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, args[i], len, nullptr, nullptr);
    }
    if (wide)
        LocalFree(wide);
    if (whole) {
        *argc = n;
        *argv = args;
    }
    // The C runtime keeps descriptors 0, 1 and 2 for the standard streams
    // even when the process was started without them, so no file opened
    // later can take their place. Windows has no SIGPIPE or SIGXFSZ.
    int closed = 0;
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int fd = 0; fd <= 2; fd++) {
        const HANDLE h = GetStdHandle(streams[fd]);
        closed |= h == nullptr || h == INVALID_HANDLE_VALUE ? 1 << fd : 0;
    }
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Names are UTF-8: a console shows them so while the run lasts. Output
    // sent elsewhere is the same bytes either way.
    if (os_isterminal(1) || os_isterminal(2)) {
        consolecodepage = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
        atexit(restoreconsole);
    }
    return closed;
}

int64_t os_pid()
{
    return int64_t(GetCurrentProcessId());
}

void os_prefault(void *, size_t)
{
}

int64_t os_milliseconds()
{
    return int64_t(GetTickCount64());
}

// The console's closing, a logoff and a shutdown, as signals of their own.
enum { SIGCLOSE = 100, SIGLOGOFF, SIGSHUTDOWN };

// The console's handler runs on a thread of its own: it only records. For
// the closing of the console, a logoff or a shutdown, Windows ends the
// process once the handler returns, or after a few seconds: the handler
// waits meanwhile, for the run to end the process itself, undone.
static void (*recorder)(int);
static volatile LONG recorded;
static BOOL WINAPI consoleevent(DWORD event)
{
    const int sig = event == CTRL_C_EVENT       ? SIGINT
                    : event == CTRL_BREAK_EVENT ? SIGBREAK
                    : event == CTRL_CLOSE_EVENT ? SIGCLOSE
                    : event == CTRL_LOGOFF_EVENT ? SIGLOGOFF
                    : event == CTRL_SHUTDOWN_EVENT ? SIGSHUTDOWN
                                                   : 0;
    if (!sig)
        return FALSE;
    recorder(sig);
    InterlockedExchange(&recorded, 1);
    if (sig >= SIGCLOSE)
        Sleep(4000);
    return TRUE;
}

void os_catchinterrupts(void (*record)(int))
{
    recorder = record;
    SetConsoleCtrlHandler(consoleevent, TRUE);
}

void os_endbysignal(int)
{
    // What a console's Ctrl-C leaves as the status of a program it ends.
    restoreconsole();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    _Exit(int(STATUS_CONTROL_C_EXIT));
}

const char *os_signalname(int sig)
{
    switch (sig) {
    case SIGINT:
        return "Ctrl-C";
    case SIGBREAK:
        return "Ctrl-Break";
    case SIGTERM:
        return "SIGTERM";
    case SIGABRT:
        return "SIGABRT";
    case SIGCLOSE:
        return "the closing of the console window";
    case SIGLOGOFF:
        return "a logoff";
    case SIGSHUTDOWN:
        return "a shutdown";
    default: {
        static char name[32];
        snprintf(name, sizeof name, "signal %d", sig);
        return name;
    }
    }
}

#ifdef LUMPGRAFT_FAULTPOINTS
// As Windows gives the event: on a thread of its own, while the process
// goes on; it is seen once the handler has recorded it.
void os_hangup()
{
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](void *) -> DWORD { return consoleevent(CTRL_CLOSE_EVENT); }, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    while (thread && !recorded)
        Sleep(1);
}

void os_kill()
{
    TerminateProcess(GetCurrentProcess(), 128 + 9);
    _Exit(128 + 9);
}
#endif
