/* zorvwin.dll: the sample application's hidden top-level window. */
#define ZORV_SAMPLE_BUILDING_DLL
#include "zorvcore.h"

HWND zorv_create_hidden_window(HINSTANCE instance, const char *class_name, WNDPROC procedure) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.lpszClassName = class_name;
    if (!RegisterClassA(&wc)) return NULL;
    /* No WS_VISIBLE and no ShowWindow: the window exists for the broadcast alone. */
    return CreateWindowExA(0, class_name, "Zorvana", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
}
