// The installer's process start-up: the command line cut to its tail, or the words, to WinMain.
//
// Windows hands a program one command line. The runtime library would cut the program name off
// by rules of its own (a quoted name runs on to the next blank, control characters count as
// blanks), so the installer cuts it by its own rules and WinMain splits the rest.
//
// Linux hands a program words that the shell has already split. No tail could carry every one of
// them through the installer's splitter, which knows no escape (a word with both a space and a
// double quote would fall apart), so the words go to the installation as they are.
#include "driver.h"
#include "platform.h"

int main(int argc, char **argv) {
    if (const char *line = os_command_line())
        return WinMain(os_instance(), nullptr, const_cast<char *>(command_tail(line)), os_show_command());
    return run_installation(word_list(argc - 1, argv + 1));
}
