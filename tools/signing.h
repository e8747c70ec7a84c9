// The packer's signature: a Windows installer signed with osslsigncode and verified before it is kept.
#ifndef ZORV_TOOLS_SIGNING_H
#define ZORV_TOOLS_SIGNING_H

#include <string>

// How to sign a Windows installer: a certificate and its key, or a PKCS#12 file, and the password
// of the key (from a file, or the environment), never from the command line.
struct signing {
    std::string cert, key, pkcs12;  // absolute paths once checked
    std::string password_file;      // a file whose first line is the password
    std::string password;           // the password itself, from the environment
    std::string signer, opener;     // osslsigncode and, for PKCS#12 files, openssl, found on PATH
    bool wanted() const { return !cert.empty() || !key.empty() || !pkcs12.empty(); }
};

// The file, inside the work folder, that an installer to be signed is built into and the signer
// leaves it in.
static const char kBuiltInstaller[] = "installer.exe";

// Checks the signing options and finds the programs, before anything is packed.
bool check_signing(signing &s, std::string &error);

// Signs the installer in work_dir with osslsigncode and verifies the signature; the signed
// installer then takes its place. The signature is appended and the headers that point at it are
// updated: the image's sections, and so its resources, stay as they were. Failures, among them a
// wrong password and a key that does not belong to the certificate, give one line in error.
bool sign_installer(const signing &s, const std::string &work_dir, std::string &error);

#endif
