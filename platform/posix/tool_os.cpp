// Linux: the tools' file opening and program runs (fork and exec, no shell).
#include "tool_os.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

FILE *tool_fopen(const std::filesystem::path &path, const char *mode) { return fopen(path.c_str(), mode); }

int tool_run(const std::vector<std::string> &argv, const std::string &dir, const std::string &output,
             bool own_session, std::string &error) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The child reports why it could not start the program through a pipe that the program's
    // start closes: nothing read means it runs.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot run ") + argv[0] + ": " + strerror(errno);
        return -1;
    }
    pid_t child = fork();
    int fork_error = errno;
    if (child == 0) {
        // Only calls that are safe between fork and exec.
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (in >= 0 && out >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(out, 2) == 2 &&
            chdir(dir.c_str()) == 0 && (!own_session || setsid() >= 0))
            execv(args[0], args.data());
        int why = errno;
        ssize_t ignored = write(report[1], &why, sizeof why);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int why = 0, status = 0;
    ssize_t got = child < 0 ? 0 : read(report[0], &why, sizeof why);
    close(report[0]);
    if (child < 0 || got == sizeof why) {
        if (child >= 0) waitpid(child, &status, 0);
        error = std::string("cannot run ") + argv[0] + ": " + strerror(child < 0 ? fork_error : why);
        return -1;
    }
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            error = std::string("lost ") + argv[0] + ": " + strerror(errno);
            return -1;
        }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
