// The command-line splitter: the installer's own word rules, which the option reader depends on.
#include <stdlib.h>
#include <string.h>

#include "driver.h"

char **split_command_line(const char *tail) {
    if (!tail) tail = "";
    // One block: the table, then room for the words. Every word is followed in the tail by a
    // space, a quote or the end, and every quoted word also drops its opening quote, so the
    // words and their terminators never need more than the tail's own length plus one.
    size_t table_size = ZORV_MAX_WORDS * sizeof(char *);
    char **words = static_cast<char **>(calloc(1, table_size + strlen(tail) + 1));
    if (!words) return nullptr;
    char *out = reinterpret_cast<char *>(words) + table_size;

    const char *p = tail;
    int count = 0;
    while (count < ZORV_MAX_WORDS) {
        while (*p == ' ') p++;
        if (!*p) break;
        const char *start = p;
        size_t n;
        if (*p == '"') {
            start = ++p;
            const char *close = strchr(p, '"');
            n = close ? size_t(close - p) : strlen(p);
            p = close ? close + 1 : p + n;
        } else {
            n = strcspn(p, " ");
            p += n;
        }
        if (n == 0) continue;
        memcpy(out, start, n);
        out[n] = '\0';
        words[count++] = out;
        out += n + 1;
    }
    return words;
}

char **word_list(int count, char *const *args) {
    size_t room = 0;
    for (int i = 0; i < count; i++) room += strlen(args[i]) + 1;
    char **words = static_cast<char **>(calloc(1, ZORV_MAX_WORDS * sizeof(char *) + room));
    if (!words) return nullptr;
    char *out = reinterpret_cast<char *>(words + ZORV_MAX_WORDS);
    for (int i = 0, stored = 0; i < count && stored < ZORV_MAX_WORDS; i++) {
        size_t n = strlen(args[i]);
        if (n == 0) continue;  // the splitter never stores an empty word either
        memcpy(out, args[i], n + 1);
        words[stored++] = out;
        out += n + 1;
    }
    return words;
}

const char *command_tail(const char *line) {
    const char *p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '"') {
        for (p++; *p && *p != '"'; p++) {}
        if (*p == '"') p++;
    } else {
        while (*p && *p != ' ' && *p != '\t') p++;
    }
    while (*p == ' ' || *p == '\t') p++;
    return p;
}
