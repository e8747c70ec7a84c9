/* zorv-close-request.exe: sends the installer's close request alone, for tests of the application. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)instance;
    (void)previous;
    (void)command_line;
    (void)show;
    return PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("zorv CERRAR"), 0, 0) ? 0 : 1;
}
