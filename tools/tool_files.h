// What the command-line tools share: folder walks, archive writing, file reads, time stamps.
#ifndef ZORV_TOOLS_TOOL_FILES_H
#define ZORV_TOOLS_TOOL_FILES_H

#include <stdio.h>

#include <string>
#include <vector>

#include "star_writer.h"

// One file to archive: its name in the archive ('/' between levels) and where to read it.
struct folder_file {
    std::string name;
    std::string path;
};

// Appends the regular files at path (a file, or a folder walked recursively, names sorted byte by
// byte at each level) to files, named under name ("" for the folder's own contents). False with a
// reason when something cannot be read, is neither a file nor a folder, or has a name that an
// archive cannot store and give back unchanged.
bool collect_folder(const std::string &path, const std::string &name, std::vector<folder_file> &files,
                    std::string &error);

// Writes files as one archive to out, in their order. False with a reason naming the file on
// failure (a body holding the magic, a read or write error); out then holds part of an archive,
// which the caller discards.
bool write_folder_archive(FILE *out, const std::vector<folder_file> &files, star_line_break line_break,
                          long long stamp, std::string &error);

// Checks every body for the magic before anything is written: for outputs that cannot be taken
// back. False with a reason naming the file.
bool check_folder_bodies(const std::vector<folder_file> &files, std::string &error);

bool read_whole_file(const std::string &path, std::string &out);

// Seconds since 1970 as the boundary lines carry them: a decimal number of at most ten digits.
bool parse_epoch_seconds(const char *text, long long &seconds);

#endif
