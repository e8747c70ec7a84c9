// What the tools share: how they fail, folder walks, archives, files and their numbers, programs on PATH, time stamps.
//
// They are written once for Linux and Windows, with the C++ standard library's files and the C
// library's streams, so that the packer built for Windows walks, reads and writes exactly as its
// Linux build does. Paths may use '/' or, on Windows, '\' and drive letters.
#ifndef ZORV_TOOLS_TOOL_FILES_H
#define ZORV_TOOLS_TOOL_FILES_H

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "star_writer.h"

// How the tools' functions fail: false, with one line in error saying why.
inline bool failed(std::string &error, const std::string &why) {
    error = why;
    return false;
}

// One file to archive: its name in the archive ('/' between levels) and where to read it. The
// name is as the folder spells it: bytes on Linux, UTF-8 on Windows (from the system's UTF-16
// names); the path is the system's own, so that any name can be opened.
struct folder_file {
    std::string name;
    std::filesystem::path path;
};

// A path for a message: as it is on Linux, in UTF-8 on Windows.
std::string shown_path(const std::filesystem::path &path);

// Appends the regular files at path (a file, or a folder walked recursively, names sorted byte by
// byte at each level) to files, named under name ("" for the folder's own contents). False with a
// reason when something cannot be read, is neither a file nor a folder, or has a name that an
// archive cannot store and give back unchanged.
bool collect_folder(const std::filesystem::path &path, const std::string &name, std::vector<folder_file> &files,
                    std::string &error);

// Writes files as one archive to out, in their order. False with a reason naming the file on
// failure (a body holding the magic, a read or write error); out then holds part of an archive,
// which the caller discards.
bool write_folder_archive(FILE *out, const std::vector<folder_file> &files, star_line_break line_break,
                          long long stamp, std::string &error);

// Checks every body for the magic before anything is written: for outputs that cannot be taken
// back. False with a reason naming the file.
bool check_folder_bodies(const std::vector<folder_file> &files, std::string &error);

// For small files only (kit descriptions, icons, a tool's output): anything that may be large is
// copied with append_file.
bool read_whole_file(const std::string &path, std::string &out);

// Copies the file at path to the end of out in blocks, handing each block to seen when one is
// given: a file of any size passes through a buffer of 64 KiB. False with a reason naming the
// file that failed.
bool append_file(const std::string &path, FILE *out, std::string &error,
                 const std::function<void(const char *, size_t)> &seen = nullptr);

// Writes path through a temporary file beside it: write fills the open file (false with error set
// when it fails), and only a complete file is renamed into place, executable when asked, so that
// a failure leaves neither a half-written file nor a damaged earlier one.
bool write_file_in_place(const std::string &path, bool executable, std::string &error,
                         const std::function<bool(FILE *, std::string &)> &write);

// A folder of this process's own (owner only) in the system's temporary folder (TMPDIR on Linux),
// removed with everything in it when the object goes.
struct work_folder {
    std::string path;
    bool make(const char *prefix, std::string &error);
    ~work_folder();
};

// Finds a program as the shell would: a name with a folder in it as it is, any other on PATH
// (with ".exe" on Windows). The error for a missing one names the Debian package that provides it.
bool find_program(const std::string &name, const std::string &package, std::string &path, std::string &error);

// Numbers as the files that the tools write and read keep them: little-endian, of size bytes.
uint64_t get_le(const std::string &bytes, size_t at, int size);
void set_le(std::string &bytes, size_t at, uint64_t value, int size);
// Appends a number; returns where it went, for a field that is filled in later.
size_t put_le(std::string &bytes, uint64_t value, int size);

// Seconds since 1970 as the boundary lines carry them: a decimal number of at most ten digits.
bool parse_epoch_seconds(const char *text, long long &seconds);

#endif
