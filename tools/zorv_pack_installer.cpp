// The packer's installers: a Windows executable linked from a kit, or the Linux one.
//
// A kit is a folder (share/zorvana/ARCH beside the packer, as cmake/installers.cmake lays it out)
// with a text file of "key=value" lines naming the resource compiler, the compilers, the resource
// script, the default icon and, in order, the link arguments of the installer program without its
// resources. Programs are named as found on PATH, followed by the Debian package that has them;
// every other value that is not an option names a file of the kit folder, so that a kit works
// wherever it is installed. The resources of one installer are compiled from the script into an
// object and linked with the rest, so that the payload sits in the image exactly where Windows
// resource calls look for it; nothing of a finished executable is patched. The Linux kit holds
// the Linux installer program.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "payload.h"
#include "resource_image.h"
#include "zorv_pack.h"

extern char **environ;

namespace {

// The values of a kit that name programs, and those that name its files.
const char *const kProgramKeys[] = {"windres", "cc", "cxx"};
const char *const kFileKeys[] = {"rc", "icon", "stub"};

bool kit_value(const kit &k, const char *key, std::string &value, std::string &error) {
    auto it = k.one.find(key);
    if (it == k.one.end() || it->second.empty()) {
        error = k.dir + "/" + kKitFile + ": names no " + key;
        return false;
    }
    value = it->second;
    return true;
}

bool copy_file(const std::string &from, const std::string &to, std::string &error) {
    std::string data;
    FILE *out = nullptr;
    bool ok = read_whole_file(from, data) && (out = fopen(to.c_str(), "wb")) != nullptr &&
              fwrite(data.data(), 1, data.size(), out) == data.size();
    if (out && fclose(out) != 0) ok = false;
    if (!ok) error = from + ": cannot be copied to " + to + ": " + strerror(errno);
    return ok;
}

}  // namespace

bool find_program(const std::string &name, const std::string &package, std::string &path, std::string &error) {
    if (name.find('/') != std::string::npos) {
        path = name;
        if (access(path.c_str(), X_OK) == 0) return true;
        error = name + ": cannot be run (" + strerror(errno) + ")";
        return false;
    }
    const char *search = getenv("PATH");
    std::string dirs = search ? search : "/usr/bin:/bin";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(at, end - at);
        path = (dir.empty() ? "." : dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    error = name + " is not on PATH; it comes with the Debian package " + package;
    return false;
}

bool load_kit(const std::string &kits_dir, const std::string &arch, const std::string &where, kit &k,
              std::string &error) {
    k.dir = kits_dir + "/" + arch;
    std::string path = k.dir + "/" + kKitFile, text;
    if (!read_whole_file(path, text)) {
        error = "no " + arch + " installer kit: " + path + " cannot be read (" + where + ")";
        return false;
    }
    auto in_kit = [&](const std::string &file) { return file[0] == '/' ? file : k.dir + "/" + file; };
    std::vector<std::string> files;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq + 1 == line.size()) {
            error = path + ": not a kit line: " + line;
            return false;
        }
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "link") {
            if (value[0] != '-') files.push_back(value = in_kit(value));
            k.link.push_back(value);
            continue;
        }
        for (const char *file_key : kFileKeys)
            if (key == file_key) files.push_back(value = in_kit(value));
        for (const char *program_key : kProgramKeys) {
            if (key != program_key) continue;
            size_t space = value.find(' ');
            std::string package = space == std::string::npos ? "of its toolchain" : value.substr(space + 1);
            if (!find_program(value.substr(0, space), package, value, error)) return false;
        }
        k.one[key] = value;
    }
    for (const std::string &file : files)
        if (access(file.c_str(), R_OK) != 0) {
            error = path + ": the kit is incomplete: " + file + ": " + strerror(errno);
            return false;
        }
    return true;
}

bool run_tool(const std::vector<std::string> &argv, const std::string &dir, const char *what, bool own_session,
              std::string &output, std::string &error) {
    std::string log = dir + "/tool-output.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The tools resolve the file names of the resource script relative to their folder.
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (own_session) posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int spawn_error = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawn_error) {
        error = std::string(what) + ": cannot run " + argv[0] + ": " + strerror(spawn_error);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    output.clear();
    read_whole_file(log, output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = std::string(what) + " failed (" + argv[0] +
            (WIFEXITED(status) ? " exited " + std::to_string(WEXITSTATUS(status)) : std::string(" was killed")) + ")" +
            (output.empty() ? "" : ":\n" + output);
    return false;
}

bool build_windows_installer(const installer_inputs &in, const std::string &work_dir, std::string &error) {
    const kit &k = in.k;
    std::string windres, cc, cxx, rc, icon, output;
    if (!kit_value(k, "windres", windres, error) || !kit_value(k, "cc", cc, error) ||
        !kit_value(k, "cxx", cxx, error) || !kit_value(k, "rc", rc, error) || !kit_value(k, "icon", icon, error))
        return false;
    // The script names its files relative to the working folder, so every input is copied there
    // under the fixed name it expects: no path needs quoting in the script or on a command line.
    if (!copy_file(rc, work_dir + "/installer.rc", error) ||
        !copy_file(in.icon.empty() ? icon : in.icon, work_dir + "/icon.ico", error) ||
        !copy_file(in.payload, work_dir + "/payload.bz2", error) ||
        (!in.settings.empty() && !copy_file(in.settings, work_dir + "/settings.txt", error)))
        return false;
    std::vector<std::string> compile = {windres, "--preprocessor=" + cc, "--preprocessor-arg=-E",
                                        "--preprocessor-arg=-xc", "--preprocessor-arg=-DRC_INVOKED",
                                        "-J", "rc", "-O", "coff", "-i", "installer.rc", "-o", "resources.o"};
    if (!in.settings.empty()) compile.push_back("-DZORV_WITH_SETTINGS");
    if (!run_tool(compile, work_dir, "compiling the resources", false, output, error)) return false;
    std::vector<std::string> link = {cxx};
    link.insert(link.end(), k.link.begin(), k.link.end());
    link.insert(link.end(), {"resources.o", "-o", kBuiltInstaller});
    return run_tool(link, work_dir, "linking the installer", false, output, error);
}

bool build_linux_installer(const installer_inputs &in, const std::string &work_dir, std::string &error) {
    std::string stub, program;
    if (!kit_value(in.k, "stub", stub, error)) return false;
    std::vector<resource_entry> resources(1);
    resources[0].type = ZORV_RESOURCE_TYPE;
    resources[0].id = ZORV_PAYLOAD_ID;
    if (!read_whole_file(stub, program)) {
        error = stub + ": cannot be read";
        return false;
    }
    if (!read_whole_file(in.payload, resources[0].data)) {
        error = in.payload + ": cannot be read";
        return false;
    }
    if (!in.settings.empty()) {
        resources.push_back({ZORV_RESOURCE_TYPE, ZORV_SETTINGS_ID, ""});
        if (!read_whole_file(in.settings, resources[1].data)) {
            error = in.settings + ": cannot be read";
            return false;
        }
    }
    return write_resource_image(program, resources, work_dir + "/" + kBuiltInstaller, error);
}
