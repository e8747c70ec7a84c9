// Helpers for the payload tests: archives and bzip2 streams in memory, resource images.
#ifndef ZORV_PAYLOAD_TEST_UTIL_H
#define ZORV_PAYLOAD_TEST_UTIL_H

#include <map>
#include <string>

struct TempDir;

// A SIMPLE-TAR archive (LF convention) of the given names and bodies, in name order.
std::string make_archive(const std::map<std::string, std::string> &files);
// data compressed as one bzip2 stream with 900 k blocks.
std::string bz2(const std::string &data);
// data with every '-' replaced, so that it can never hold the archive's boundary magic.
std::string strip_magic(std::string data);
// Writes an image carrying these "RCDATA_RAW" resources into dir and points the resource
// stand-in at it (ZORV_RESOURCE_IMAGE).
void use_resources(const TempDir &dir, const std::map<int, std::string> &resources);
void mkdir_p(const std::string &path);

#endif
