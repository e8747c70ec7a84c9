// The Linux process start-up: rebuilds the command-line tail from the arguments and runs WinMain.
//
// Windows hands a program one command line; Linux hands it words. The tail is the words joined
// by single spaces, each word that holds a space put in double quotes so that the installer's
// splitter keeps it whole. The splitter knows only a leading quote and no escape, so a word that
// holds a double quote goes in as it stands and is read as it would be on Windows.
#include <string>

#include "driver.h"

int main(int argc, char **argv) {
    std::string tail;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (i > 1) tail += ' ';
        tail += word.find(' ') != std::string::npos ? '"' + word + '"' : word;
    }
    // SW_SHOWNORMAL, as a program started from a shell gets on Windows.
    return WinMain(nullptr, nullptr, &tail[0], 1);
}
