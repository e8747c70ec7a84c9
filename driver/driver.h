// The installer driver: its process entry, the command-line words and the registry record.
#ifndef ZORV_DRIVER_H
#define ZORV_DRIVER_H

#include "platform.h"

// The process entry and the whole installation. The start-up (startup.cpp) calls it with the
// command-line tail (the text after the program name and the spaces and tabs that follow it) and
// takes its result as the exit status. It returns 0 when the user declines and when the installed
// program is not to be launched; after a failure message it ends the process with status -1, and
// a successful launch replaces the process. Only the tail is used.
extern "C" int OS_WINAPI WinMain(void *instance, void *previous, char *command_line, int show);

// WinMain after the splitting: the whole installation, driven by a word list as
// split_command_line makes it (kept until the process ends). A null list, which no memory for
// the words leaves, is a failed installation.
int run_installation(char **words);

// Entries in the word list.
#define ZORV_MAX_WORDS 50

// Splits the command-line tail into words: only the space separates them; a word that begins
// with a double quote runs to the next double quote (or the end), without either quote, and the
// next word may start right after the closing quote; a double quote anywhere else and every
// backslash are ordinary characters; empty words are not stored. Returns a table of
// ZORV_MAX_WORDS entries, each a word or null, the first null ending the list; words past the
// last entry are dropped. Table and words are one allocation, the caller's: the installer keeps
// it until the process ends, and freeing the table releases all of it. A null tail gives no
// words. Null only when memory for the table cannot be obtained.
char **split_command_line(const char *tail);

// The same word list from words that are split already (a Linux program's arguments): each
// non-empty word in order, words past the last entry dropped. Null only when memory for the list
// cannot be obtained.
char **word_list(int count, char *const *words);

// The tail of a whole command line, as the Windows start-up hands it to WinMain: the spaces and
// tabs before the program name, the program name (to the next double quote, which goes too, if
// it begins with one; else to the next space or tab) and the spaces and tabs after it are cut.
const char *command_tail(const char *line);

// Creates or opens subkey under root and sets the string value name to text, terminator
// included. 0 on success, otherwise the platform's error code of the step that failed (a key
// that cannot be created sets nothing).
long registry_write_string(os_key root, const char *subkey, const char *name, const char *text);

// Stores path as "Path" under the current user's "Software\zorvdal". Always 0: the record never
// stops an installation.
int record_install_path(const char *path);

// The string value name of subkey under root, in a 1000-byte buffer shared by every call and
// always terminated (a value stored without its terminator gets one); null when the key or the
// value is missing or the data exceeds 1000 bytes. A missing key is not created.
char *registry_read_string(os_key root, const char *subkey, const char *name);

#endif
