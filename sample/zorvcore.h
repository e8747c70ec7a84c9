/* The sample application's three libraries: what each exports to zorv.exe. */
#ifndef ZORV_SAMPLE_ZORVCORE_H
#define ZORV_SAMPLE_ZORVCORE_H

#include <windows.h>

#ifdef ZORV_SAMPLE_BUILDING_DLL
#define ZORV_SAMPLE_API __declspec(dllexport)
#else
#define ZORV_SAMPLE_API __declspec(dllimport)
#endif

/* zorvcore.dll: the name under which the installer broadcasts its close request. */
ZORV_SAMPLE_API const char *zorv_close_request_name(void);

/* zorvwin.dll: a top-level window of class name that is never shown. Top-level, not
   message-only, because a broadcast reaches top-level windows alone. */
ZORV_SAMPLE_API HWND zorv_create_hidden_window(HINSTANCE instance, const char *class_name, WNDPROC procedure);

/* zorvrecord.dll: writes argv, one argument a line ended by LF, to "zorv-args.txt" beside the
   running executable. 0 on success, -1 on failure. */
ZORV_SAMPLE_API int zorv_write_argument_record(int argc, char **argv);

#endif
