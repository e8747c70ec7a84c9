/* zorvrecord.dll: the record of the arguments the sample application was started with. */
#define ZORV_SAMPLE_BUILDING_DLL
#include <stdio.h>
#include <string.h>

#include "zorvcore.h"

int zorv_write_argument_record(int argc, char **argv) {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return -1;
    char *slash = strrchr(path, '\\');
    strcpy(slash ? slash + 1 : path, "zorv-args.txt");
    FILE *f = fopen(path, "wb");
    if (!f) return -1;
    for (int i = 0; i < argc; i++) fprintf(f, "%s\n", argv[i]);
    return fclose(f) == 0 ? 0 : -1;
}
