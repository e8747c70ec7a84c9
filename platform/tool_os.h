// The seam between the command-line tools and the operating system: opening files, running programs.
//
// The tools are written once for Linux and Windows (tools/tool_files.h); the few calls whose
// spelling differs between the two are here, in platform/posix and platform/win, and CMake links
// the one of the system built for. Unlike the installer's seam (platform.h), this one is C++ and
// is never linked into an installer.
#ifndef ZORV_TOOL_OS_H
#define ZORV_TOOL_OS_H

#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

// fopen of a file by its path as the system spells it: bytes on Linux, UTF-16 on Windows (through
// _wfopen), so that a file whose name the ANSI code page cannot spell still opens.
FILE *tool_fopen(const std::filesystem::path &path, const char *mode);

// Runs the program at argv[0] with the arguments argv[1], ... as they are, never through a
// command interpreter, which would read '%', '&', '^', '$' or quotes in a path as its own; and
// waits for it. It runs in dir, with standard input from the null device and standard output and
// error both in the file output (created or emptied). With own_session it has nothing to prompt
// on: no controlling terminal on Linux (a session of its own), no console on Windows. Its exit
// status, or -1 when it could not be started, with the reason in error. On Windows the strings
// are in the ANSI code page, as the command line gave them to the tools.
int tool_run(const std::vector<std::string> &argv, const std::string &dir, const std::string &output,
             bool own_session, std::string &error);

#endif
