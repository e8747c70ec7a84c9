/* zorv-planted.dll: a library planted beside the installer; loaded, it leaves a mark on drive C:. */
#include <windows.h>
#include <stdio.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH];
        FILE *f = fopen("C:\\zorv-planted.txt", "ab");
        if (f && GetModuleFileNameA(instance, path, MAX_PATH)) fprintf(f, "%s\n", path);
        if (f) fclose(f);
    }
    return TRUE;
}
