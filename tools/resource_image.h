// Writes Linux executables that carry resources, as the Linux stand-in of the platform reads them.
#ifndef ZORV_TOOLS_RESOURCE_IMAGE_H
#define ZORV_TOOLS_RESOURCE_IMAGE_H

#include <stdint.h>

#include <string>
#include <vector>

struct resource_entry {
    std::string type;  // a named type such as "RCDATA_RAW"; in a Windows image "#N" is the numbered type N
    uint32_t id;
    std::string data;  // the bytes, unless path is given
    std::string path = "";  // a file whose bytes are the resource, copied as it is written, never held whole
};

// The size of a resource's bytes; false with a reason when its file cannot be looked at.
bool resource_size(const resource_entry &r, uint64_t &size, std::string &error);

// Writes program (an executable's bytes) followed by the resources to out_path, executable, via a
// temporary file renamed into place. False with a reason in error on failure; nothing is left.
bool write_resource_image(const std::string &program, const std::vector<resource_entry> &resources,
                          const std::string &out_path, std::string &error);

#endif
