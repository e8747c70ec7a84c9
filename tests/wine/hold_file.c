/* zorv-hold-file.exe: holds a file open, sharing it with nobody, until it is ended; for the tests.
 *
 *     zorv-hold-file FILE    opens FILE so that no other program may read, write, rename or delete it
 *     zorv-hold-file         only runs (copied in as an application's program: a running program
 *                            that no close request reaches, as it has no window)
 *     zorv-hold-file --rename FROM TO
 *                            tries to rename FROM, as someone else would while an installer holds
 *                            it, and prints "renamed" or "error N" with the system's error code
 *
 * It prints "holding" once it holds the file, so that a test knows when to go on. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--rename") == 0) {
        if (MoveFileExA(argv[2], argv[3], 0)) printf("renamed\n");
        else printf("error %lu\n", (unsigned long)GetLastError());
        return 0;
    }
    if (argc > 1 && CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE) {
        printf("cannot open %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 2;
    }
    printf("holding\n");
    fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
