// The packer's signature: a Windows installer signed with osslsigncode and verified before it is kept.
//
// osslsigncode appends the signature to the image and updates the two header fields that point at
// it and the checksum; the sections stay as they were, so the installer finds its payload and
// settings as before. The password goes to the programs in a file of the private work folder (or
// the user's own file), never on a command line, where any process could read it. Verification
// trusts the certificates given (a self-made certificate included) and, failing that, the system's
// certificate authorities, which is how a certificate bought with its chain but without the root
// verifies.
#include "signing.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "tool_files.h"
#include "tool_os.h"

namespace fs = std::filesystem;

namespace {

// Runs a program in dir, its arguments as they are (tool_run: no shell reads them), with standard
// input from the null device and its output kept in output. With own_session the program has no
// terminal, so that nothing it runs can prompt on it. False when it cannot be run or ends with
// another status than 0; error then says why, quoting its output.
bool run_tool(const std::vector<std::string> &argv, const std::string &dir, const char *what, bool own_session,
              std::string &output, std::string &error) {
    std::string log = dir + "/tool-output.txt";
    int status = tool_run(argv, dir, log, own_session, error);
    output.clear();
    read_whole_file(log, output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    if (status == 0) return true;
    if (status > 0) error = std::string(what) + " failed (" + argv[0] + ")" + (output.empty() ? "" : ":\n" + output);
    return false;
}

bool absolute_file(std::string &path, const char *option, std::string &error) {
    std::error_code ec;
    fs::path resolved = fs::canonical(path, ec);
    FILE *readable = ec ? nullptr : fopen(resolved.string().c_str(), "rb");
    if (!readable)
        return failed(error, std::string(option) + " " + path + ": " + (ec ? ec.message() : strerror(errno)));
    fclose(readable);
    path = resolved.string();
    return true;
}

// The first line of a program's output that says something, for a message of one line.
std::string first_line(const std::string &output, const char *containing = "") {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.erase(0, 1);
        if (!line.empty() && line.find(containing) != std::string::npos) return line;
    }
    return "";
}

bool contains(const std::string &text, const char *what) { return text.find(what) != std::string::npos; }

// osslsigncode's refusal as one line of ours.
std::string signing_failure(const signing &s, const std::string &output) {
    std::string secret = s.pkcs12.empty() ? s.key : s.pkcs12;
    if (contains(output, "Wrong password") || contains(output, "mac verify failure"))
        return s.password_file.empty() && s.password.empty()
                   ? secret + ": needs its password (--sign-password-file FILE or ZORV_SIGN_PASSWORD)"
                   : secret + ": cannot be opened with the password given (wrong password?)";
    if (contains(output, "consistency of a private key") || contains(output, "key values mismatch"))
        return "the key " + s.key + " does not belong to the certificate " + s.cert;
    std::string line = first_line(output);
    return "signing the installer failed (osslsigncode)" + (line.empty() ? "" : ": " + line);
}

}  // namespace

bool check_signing(signing &s, std::string &error) {
    if (!s.pkcs12.empty() && (!s.cert.empty() || !s.key.empty()))
        return failed(error, "--sign-pkcs12 replaces --sign-cert and --sign-key; give one or the other");
    if (s.pkcs12.empty() && (s.cert.empty() || s.key.empty()))
        return failed(error, s.cert.empty() ? "--sign-key needs --sign-cert" : "--sign-cert needs --sign-key");
    if ((!s.cert.empty() && !absolute_file(s.cert, "--sign-cert", error)) ||
        (!s.key.empty() && !absolute_file(s.key, "--sign-key", error)) ||
        (!s.pkcs12.empty() && !absolute_file(s.pkcs12, "--sign-pkcs12", error)) ||
        (!s.password_file.empty() && !absolute_file(s.password_file, "--sign-password-file", error)))
        return false;
    if (!find_program("osslsigncode", "osslsigncode", s.signer, error)) return false;
    return s.pkcs12.empty() || find_program("openssl", "openssl", s.opener, error);
}

bool sign_installer(const signing &s, const std::string &work_dir, std::string &error) {
    std::string password_file = s.password_file, output;
    if (password_file.empty() && !s.password.empty()) {
        // The work folder is the packer's own (its owner's alone), and the file is removed with it.
        password_file = work_dir + "/password.txt";
        FILE *out = fopen(password_file.c_str(), "wb");
        std::string line = s.password + "\n";
        bool ok = out && fwrite(line.data(), 1, line.size(), out) == line.size();
        if (!out || fclose(out) != 0 || !ok) return failed(error, password_file + ": " + strerror(errno));
    }

    std::vector<std::string> sign = {s.signer, "sign"};
    if (s.pkcs12.empty()) sign.insert(sign.end(), {"-certs", s.cert, "-key", s.key});
    else sign.insert(sign.end(), {"-pkcs12", s.pkcs12});
    if (!password_file.empty()) sign.insert(sign.end(), {"-readpass", password_file});
    sign.insert(sign.end(), {"-h", "sha256", "-in", kBuiltInstaller, "-out", "signed.exe"});
    // In a session of its own: with a wrong password, the key's library would otherwise ask for
    // another on the terminal and wait.
    if (!run_tool(sign, work_dir, "signing the installer", true, output, error))
        return failed(error, signing_failure(s, output));

    // The certificates to trust: those given, or those of the PKCS#12 file, taken out by openssl.
    std::string trusted = s.cert;
    if (!s.pkcs12.empty()) {
        trusted = work_dir + "/certificates.pem";
        std::vector<std::string> extract = {s.opener, "pkcs12", "-in", s.pkcs12, "-nokeys", "-out", trusted, "-passin",
                                            password_file.empty() ? "pass:" : "file:" + password_file};
        // Files made with older tools use ciphers that OpenSSL 3 keeps in its legacy provider.
        if (!run_tool(extract, work_dir, "reading the certificates", true, output, error)) {
            extract.push_back("-legacy");
            if (!run_tool(extract, work_dir, "reading the certificates", true, output, error))
                return failed(error, s.pkcs12 + ": its certificates cannot be read (openssl): " + first_line(output));
        }
    }
    std::string help;
    run_tool({s.signer, "--help"}, work_dir, "osslsigncode --help", true, help, error);
    std::vector<std::string> verify = {s.signer, "verify", "-in", "signed.exe"};
    // Newer versions fetch revocation lists named in the certificate unless told not to; packing
    // must not depend on the network.
    if (contains(help, "-ignore-cdp")) verify.push_back("-ignore-cdp");
    std::vector<std::string> verify_given = verify;
    verify_given.insert(verify_given.end(), {"-CAfile", trusted});
    std::string given_output;
    if (!run_tool(verify_given, work_dir, "verifying the signature", true, given_output, error) &&
        !run_tool(verify, work_dir, "verifying the signature", true, output, error)) {
        std::string reason = first_line(given_output, "rror: ");
        reason = reason.empty() ? first_line(given_output, "verification") : reason.substr(reason.rfind("rror: ") + 6);
        return failed(error, "the signed installer does not verify (osslsigncode verify)" +
                                 (reason.empty() ? "" : ": " + reason));
    }
    std::error_code ec;
    fs::rename(work_dir + "/signed.exe", work_dir + "/" + kBuiltInstaller, ec);
    if (ec) return failed(error, work_dir + "/signed.exe: " + ec.message());
    return true;
}
