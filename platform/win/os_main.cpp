// The Windows process start-up: cuts the program name off the command line and runs WinMain.
//
// The runtime library's GUI start-up calls main, and its own main cuts the program name by rules
// of its own (a quoted name runs on to the next blank, control characters count as blanks). This
// main takes its place so that the tail is cut exactly as the installer's command-line rules say.
#include <windows.h>  // declares WinMain, defined by the installer (driver/installer.cpp)

#include "os_command_line.h"

int main() {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    char *tail = const_cast<char *>(os_command_tail(GetCommandLineA()));
    return WinMain(GetModuleHandleA(nullptr), nullptr, tail, show);
}
