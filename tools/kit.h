// An installer kit: the folder of one platform's prebuilt installer program, read from its description.
//
// A kit is a folder (share/zorvana/ARCH beside the packer, as cmake/installers.cmake lays it out)
// with a text file of "key=value" lines; every value names a file of the kit folder, so that a
// kit works wherever it is installed. A Windows kit holds the installer program, linked when the
// project was built with no resources, and its default icon: the packer adds the resource section
// itself (windows_image.h), so packing needs no compiler, linker or any other program. The Linux
// kit holds the Linux installer program, to which the resources are appended.
#ifndef ZORV_TOOLS_KIT_H
#define ZORV_TOOLS_KIT_H

#include <map>
#include <string>

// One platform's kit: its folder and its values, the files they name given with the folder's path.
struct kit {
    std::string dir;
    std::map<std::string, std::string> values;
};

// Reads the kit of arch from kits_dir/arch and checks, before anything is packed, that its files
// are there. where says how kits_dir was chosen, for the message when there is no kit.
bool load_kit(const std::string &kits_dir, const std::string &arch, const std::string &where, kit &k,
              std::string &error);

// The value of key; refused, naming the kit's description, when the kit has none.
bool kit_value(const kit &k, const char *key, std::string &value, std::string &error);

#endif
