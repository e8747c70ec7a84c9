/* zorv.exe: the sample application that the installer delivers in the tests and the demonstration.

   It behaves as the installer expects of the real application: it listens for the close request
   on a hidden top-level window and quits when it arrives, and it can be started with "-i". Started
   with "-i" it writes down the arguments it received, once its window exists, so that a test can
   check what the installer's launch handed over and knows that the window is there to be reached.
   It loads three libraries of its own, so that an installation is several files that must all
   arrive for it to start at all. */
#include <stdlib.h>
#include <string.h>

#include "zorvcore.h"

static UINT close_request;

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (close_request != 0 && message == close_request) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)previous;
    (void)command_line;
    (void)show;
    close_request = RegisterWindowMessageA(zorv_close_request_name());
    if (!zorv_create_hidden_window(instance, "ZorvanaSample", window_procedure)) return 2;
    if (__argc > 1 && strcmp(__argv[1], "-i") == 0 && zorv_write_argument_record(__argc, __argv) != 0) return 3;
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, NULL, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return got == 0 ? (int)msg.wParam : 4;
}
