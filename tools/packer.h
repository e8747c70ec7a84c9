// The packer: an application folder checked, archived, compressed and built into an installer, signed when asked.
#ifndef ZORV_TOOLS_PACKER_H
#define ZORV_TOOLS_PACKER_H

#include <string>

#include "signing.h"

// What to pack, into what, and how.
struct pack_options {
    std::string app_dir;              // holds zorv.exe at its top level
    std::string out_path;             // the installer, replaced only by a complete one
    std::string arch = "i686";        // i686, x86_64 or linux
    int code_page = 0;                // the one a Windows installer reads its names in
    std::string settings;             // the settings block's file, or empty for none
    std::string icon;                 // a Windows installer's icon file, or empty for its kit's
    std::string kits_dir;             // the kits are kits_dir/ARCH
    std::string kits_where;           // how kits_dir was chosen, for the message when a kit is missing
    unsigned long long i686_limit = ~0ULL;  // lowers the i686 installer's payload limit, never raises it
    long long stamp = 0;              // the boundary lines' time stamp
    signing sign;                     // how to sign a Windows installer; nothing there for none
    bool progress = false;            // whether the compression shows its progress on standard error
};

// Packs o.app_dir into the installer o.out_path. Everything that can be refused is refused before
// the output is touched, and before a large folder is compressed for minutes. False with one line
// in error saying why.
bool pack(const pack_options &o, std::string &error);

#endif
