// The Linux process start-up: rebuilds the command-line tail from the arguments and runs WinMain.
//
// Windows hands a program one command line; Linux hands it words. The tail is made by joining the
// words with single spaces, quoting in double quotes each word that the installer's splitter
// would otherwise cut or lose (one with a space, an empty one) or that the start-up's skipping of
// blanks would shorten (one with a tab). The splitter knows only a leading quote and no escape,
// so a word that holds a double quote goes in as it stands and is read as Windows would read it.
#include <string>

#include "driver.h"

int main(int argc, char **argv) {
    std::string tail;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        bool quote = word.empty() || word.find_first_of(" \t") != std::string::npos;
        if (!tail.empty()) tail += ' ';
        tail += quote ? '"' + word + '"' : word;
    }
    // SW_SHOWNORMAL, as a program started from a shell gets on Windows.
    return WinMain(nullptr, nullptr, &tail[0], 1);
}
