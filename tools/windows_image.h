// Writes a Windows installer: a prebuilt program's image with one resource section added to it.
#ifndef ZORV_TOOLS_WINDOWS_IMAGE_H
#define ZORV_TOOLS_WINDOWS_IMAGE_H

#include <string>
#include <vector>

#include "resource_image.h"

// Writes the image of program_path to out_path with the resources in a new last section, all in
// language 1033, their directory ordered as Windows looks it up (named types by name, then
// numbered ones by number; likewise the names within a type). The section table, the image size,
// the initialised-data size, the resource directory entry and the checksum are set to match;
// every other byte of the program stays where and what it was. Resources with a path are copied
// from their files as they are written. A program that has resources already or a signature, or
// whose headers have no room for one more section header, is refused with one line in error, and
// so is anything that is not a Windows image.
bool write_windows_image(const std::string &program_path, const std::vector<resource_entry> &resources,
                         const std::string &out_path, std::string &error);

#endif
