// Windows command lines: quoting a launched program's arguments so that they arrive whole.
//
// The runtime library's process calls (_execlp and its companions) join their arguments with
// spaces into one command line and quote nothing, so a program path with a space would reach the
// program as several arguments. The new program's start-up splits its command line with these
// rules: blanks separate arguments outside double quotes; 2n backslashes before a double quote
// give n backslashes and the quote opens or closes quoting; 2n+1 give n backslashes and a literal
// quote; backslashes before any other character stand as they are. Pure text work, so that it is
// tested on every system.
#ifndef ZORV_OS_COMMAND_LINE_H
#define ZORV_OS_COMMAND_LINE_H

#include <stddef.h>
#include <string.h>

// Room needed for the quoted form of arg, terminator included.
static inline size_t os_quoted_size(const char *arg) { return 2 * strlen(arg) + 3; }

// Writes arg to out (os_quoted_size(arg) bytes): unchanged when it needs no quoting, otherwise in
// double quotes with its quotes and the backslashes before them escaped.
static inline void os_quote_argument(const char *arg, char *out) {
    if (arg[0] && !strpbrk(arg, " \t\n\v\"")) {
        strcpy(out, arg);
        return;
    }
    *out++ = '"';
    for (const char *p = arg;; p++) {
        size_t backslashes = 0;
        while (*p == '\\') p++, backslashes++;
        // Backslashes are doubled where a quote follows them: the argument's own, or the closing one.
        size_t copies = *p == '"' || !*p ? 2 * backslashes : backslashes;
        memset(out, '\\', copies);
        out += copies;
        if (!*p) break;
        if (*p == '"') *out++ = '\\';
        *out++ = *p;
    }
    *out++ = '"';
    *out = '\0';
}

#endif
