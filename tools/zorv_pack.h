// The packer's stages, shared by its command and its parts.
//
// The command is zorv_pack.cpp; the payload is made in zorv_pack_payload.cpp, the installer
// executables (from the kits' prebuilt programs) in zorv_pack_installer.cpp, and the signature of
// a Windows installer in zorv_pack_sign.cpp. The same code is built for Linux and for Windows.
#ifndef ZORV_TOOLS_ZORV_PACK_H
#define ZORV_TOOLS_ZORV_PACK_H

#include <map>
#include <string>
#include <vector>

#include "tool_files.h"

// Writes files as a SIMPLE-TAR archive (LF line breaks, stamp in every boundary line) to
// archive_path. A body holding the archive's magic is refused, naming the file.
bool write_app_archive(const std::vector<folder_file> &files, long long stamp, const std::string &archive_path,
                       std::string &error);

// Checks that path is an icon file the installer can carry: exactly one image, so that the image
// becomes icon 1 of icon group 102 and the resource table holds nothing more.
bool check_icon(const std::string &path, std::string &error);

// One platform's kit, read from DIR/zorv-installer.kit: its values, with the files it names given
// with the kit folder's path.
struct kit {
    std::string dir;
    std::map<std::string, std::string> one;
};

// The file in every kit folder that describes it.
static const char kKitFile[] = "zorv-installer.kit";

// Reads the kit of arch from kits_dir/arch and checks, before anything is packed, that its files
// are there. where says how kits_dir was chosen, for the message when
// there is no kit.
bool load_kit(const std::string &kits_dir, const std::string &arch, const std::string &where, kit &k,
              std::string &error);

// Runs a program in dir, its arguments as they are (tool_run: no shell reads them), with standard
// input from the null device and its output kept in output. With own_session the program has no
// terminal, so that nothing it runs can prompt on it. False when it cannot be run or ends with
// another status than 0; error then says why, quoting its output. Only signing runs programs: an
// unsigned installer is packed without any.
bool run_tool(const std::vector<std::string> &argv, const std::string &dir, const char *what, bool own_session,
              std::string &output, std::string &error);

// What an installer is built from.
struct installer_inputs {
    kit k;                  // the kit of the chosen platform
    std::string payload;    // the compressed archive
    std::string settings;   // the settings block, or empty for none
    std::string icon;       // the icon, or empty for the kit's own
};

// The file, inside the work folder, that an installer to be signed is built into and the signer
// leaves it in.
static const char kBuiltInstaller[] = "installer.exe";

// The builders write out_path through a temporary file beside it (write_file_in_place), so that
// an unsigned installer goes where it belongs in one pass and only a complete one replaces an
// earlier file.

// Builds the Windows installer into out_path: the kit's installer program with a resource section
// added, holding the payload RCDATA_RAW/101, the settings RCDATA_RAW/103 when there are any, and
// the icon (the kit's or the one given) as icon 1 of icon group 102, all in language 1033.
bool build_windows_installer(const installer_inputs &in, const std::string &out_path, std::string &error);

// Builds the Linux installer into out_path: the kit's Linux installer program with the payload
// (and settings) appended as the Linux stand-in of the platform reads them.
bool build_linux_installer(const installer_inputs &in, const std::string &out_path, std::string &error);

// How to sign a Windows installer: a certificate and its key, or a PKCS#12 file, and the password
// of the key (from a file, or the environment), never from the command line.
struct signing {
    std::string cert, key, pkcs12;  // absolute paths once checked
    std::string password_file;      // a file whose first line is the password
    std::string password;           // the password itself, from the environment
    std::string signer, opener;     // osslsigncode and, for PKCS#12 files, openssl, found on PATH
    bool wanted() const { return !cert.empty() || !key.empty() || !pkcs12.empty(); }
};

// Checks the signing options and finds the programs, before anything is packed.
bool check_signing(signing &s, std::string &error);

// Signs the installer in work_dir with osslsigncode and verifies the signature; the signed
// installer then takes its place. The signature is appended and the headers that point at it are
// updated: the image's sections, and so its resources, stay as they were. Failures, among them a
// wrong password and a key that does not belong to the certificate, give one line in error.
bool sign_installer(const signing &s, const std::string &work_dir, std::string &error);

#endif
