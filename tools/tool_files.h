// What the command-line tools share: walking a folder into archive entries, whole-file reads and
// time stamps given as text.
#ifndef ZORV_TOOLS_TOOL_FILES_H
#define ZORV_TOOLS_TOOL_FILES_H

#include <string>
#include <vector>

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

bool read_whole_file(const std::string &path, std::string &out);

// Seconds since 1970 as the boundary lines carry them: a decimal number of at most ten digits.
bool parse_epoch_seconds(const char *text, long long &seconds);

#endif
