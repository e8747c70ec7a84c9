// Linux stand-in for the process start-up: programs receive their words, not a command line.
#include "platform.h"

// The shell has already split the words; there is no command line to cut.
const char *os_command_line(void) { return nullptr; }

void *os_instance(void) { return nullptr; }

// SW_SHOWNORMAL, as a program started from a shell gets on Windows.
int os_show_command(void) { return 1; }

// Libraries are found through the system's own paths, never the current folder.
void os_restrict_library_search(void) {}
