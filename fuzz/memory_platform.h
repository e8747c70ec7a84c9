// An in-memory stand-in for the seam's files, folders, resources and threads, for the fuzz harnesses.
//
// The harnesses link the installer's archive and payload code with this instead of a real
// platform: nothing touches the disk, so a run costs microseconds, and every path the code makes
// is seen exactly. Paths are taken as the installer means them: '/' and '\' separate levels, "."
// levels are dropped and ".." levels go up, so a name that escapes its folder lands visibly
// outside it. As on a disk, a file opens only in a folder that exists (the current folder always
// does), and a folder is made one level at a time.
#ifndef ZORV_FUZZ_MEMORY_PLATFORM_H
#define ZORV_FUZZ_MEMORY_PLATFORM_H

#include <functional>
#include <map>
#include <set>
#include <string>

// Forgets every file, folder and resource.
void memory_reset();
// The resource RCDATA_RAW/id holds data; loading it gives memory of exactly its size, so that a
// read past its end is caught by the address checker.
void memory_set_resource(int id, const std::string &data);
// Puts a file with these bytes in place.
void memory_put_file(const std::string &path, const std::string &data);
// The files (by their paths, levels joined by '/', ".." levels left where they could not go up)
// and the folders made so far.
const std::map<std::string, std::string> &memory_files();
const std::set<std::string, std::less<>> &memory_folders();

#endif
