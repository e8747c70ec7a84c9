// The packer's stages, shared by its command and its two halves.
//
// The command is zorv_pack.cpp; the payload is made in zorv_pack_payload.cpp and the installer
// executables in zorv_pack_installer.cpp.
#ifndef ZORV_TOOLS_ZORV_PACK_H
#define ZORV_TOOLS_ZORV_PACK_H

#include <string>
#include <vector>

#include "tool_files.h"

// Writes files as a SIMPLE-TAR archive (LF line breaks, stamp in every boundary line) to
// archive_path. A body holding the archive's magic is refused, naming the file.
bool write_app_archive(const std::vector<folder_file> &files, long long stamp, const std::string &archive_path,
                       std::string &error);

// Compresses in_path into out_path as one bzip2 stream with 900 k blocks ("BZh9"). Stops as soon
// as the output passes max_size bytes (compress_too_large): a payload the installer cannot carry
// is refused without compressing the rest of it.
enum compress_result { compressed, compress_failed, compress_too_large };
compress_result compress_bzip2(const std::string &in_path, const std::string &out_path, unsigned long long max_size,
                               std::string &error);

// Checks that path is an icon file the installer can carry: exactly one image, so that the image
// becomes icon 1 of icon group 102 and the resource table holds nothing more.
bool check_icon(const std::string &path, std::string &error);

// What an installer is built from: the files that the matching build tree describes in its kit.
struct installer_inputs {
    std::string kit;        // the kit file of the chosen platform
    std::string payload;    // the compressed archive
    std::string settings;   // the settings block, or empty for none
    std::string icon;       // the icon, or empty for the kit's own
};

// The file, inside the work folder, that both builders leave the finished installer in.
static const char kBuiltInstaller[] = "installer.exe";

// Builds the Windows installer inside work_dir from the kit's resource script, resource compiler
// and link inputs.
bool build_windows_installer(const installer_inputs &in, const std::string &work_dir, std::string &error);

// Builds the Linux installer inside work_dir: the kit's Linux installer program with the payload
// (and settings) appended as the Linux stand-in of the platform reads them.
bool build_linux_installer(const installer_inputs &in, const std::string &work_dir, std::string &error);



#endif
