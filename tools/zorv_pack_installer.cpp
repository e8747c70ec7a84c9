// The packer's installers: a Windows executable linked from a build tree's kit, or the Linux one.
//
// A Windows build tree (win32, win64) writes a kit: a text file of "key=value" lines naming the
// resource compiler, the compilers, the resource script, the default icon and, in order, the link
// arguments of the installer program without its resources. The resources of one installer are
// compiled from the script into an object and linked with the rest, so that the payload sits in
// the image exactly where Windows resource calls look for it; nothing of a finished executable is
// patched. The host tree's kit names the Linux installer program.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "payload.h"
#include "resource_image.h"
#include "zorv_pack.h"

extern char **environ;

namespace {

struct kit {
    std::map<std::string, std::string> one;  // keys that appear once
    std::vector<std::string> link;           // every "link=" line, in order
};

bool read_kit(const std::string &path, kit &k, std::string &error) {
    std::string text;
    if (!read_whole_file(path, text)) {
        error = path + ": cannot be read; build the matching preset first (scripts/build.sh)";
        return false;
    }
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = path + ": not a kit line: " + line;
            return false;
        }
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "link") k.link.push_back(value);
        else k.one[key] = value;
    }
    return true;
}

bool kit_value(const kit &k, const std::string &kit_path, const char *key, std::string &value, std::string &error) {
    auto it = k.one.find(key);
    if (it == k.one.end() || it->second.empty()) {
        error = kit_path + ": names no " + key;
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

// Runs a tool in dir with its output kept in a file there; on failure error quotes that output.
bool run_tool(const std::vector<std::string> &argv, const std::string &dir, const char *what, std::string &error) {
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
    pid_t pid = -1;
    int spawn_error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error) {
        error = std::string(what) + ": cannot run " + argv[0] + ": " + strerror(spawn_error);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::string output;
    read_whole_file(log, output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    error = std::string(what) + " failed (" + argv[0] +
            (WIFEXITED(status) ? " exited " + std::to_string(WEXITSTATUS(status)) : std::string(" was killed")) + ")" +
            (output.empty() ? "" : ":\n" + output);
    return false;
}

}  // namespace

bool build_windows_installer(const installer_inputs &in, const std::string &work_dir, std::string &error) {
    kit k;
    std::string windres, cc, cxx, rc, icon;
    if (!read_kit(in.kit, k, error) || !kit_value(k, in.kit, "windres", windres, error) ||
        !kit_value(k, in.kit, "cc", cc, error) || !kit_value(k, in.kit, "cxx", cxx, error) ||
        !kit_value(k, in.kit, "rc", rc, error) || !kit_value(k, in.kit, "icon", icon, error))
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
    if (!run_tool(compile, work_dir, "compiling the resources", error)) return false;
    std::vector<std::string> link = {cxx};
    link.insert(link.end(), k.link.begin(), k.link.end());
    link.insert(link.end(), {"resources.o", "-o", kBuiltInstaller});
    return run_tool(link, work_dir, "linking the installer", error);
}

bool build_linux_installer(const installer_inputs &in, const std::string &work_dir, std::string &error) {
    kit k;
    std::string stub;
    if (!read_kit(in.kit, k, error) || !kit_value(k, in.kit, "stub", stub, error)) return false;
    std::string program;
    std::vector<resource_entry> resources(1);
    resources[0].type = ZORV_RESOURCE_TYPE;
    resources[0].id = ZORV_PAYLOAD_ID;
    if (!read_whole_file(stub, program)) {
        error = stub + ": cannot be read; build the host preset first (scripts/build.sh)";
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
