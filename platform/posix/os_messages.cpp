// Linux stand-in for registered window messages and their broadcast to every listening program.
//
// Windows posts a broadcast to every top-level window. Here a program that wants to hear
// broadcasts listens on a datagram socket of its own in the user's message folder:
//
//     $XDG_RUNTIME_DIR/zorvana/windows/<pid>.<n>      (or /tmp/zorvana-<uid>/windows/<pid>.<n>)
//
// A broadcast sends every socket there one datagram {message, wparam, lparam} without waiting
// for anyone, as PostMessageA does: a listener that is not reading keeps it queued, one whose
// queue is full loses it. A name that no process listens on any more (its program ended without
// stopping) is removed by the next broadcast. The folder is the user's own (mode 0700, and the
// /tmp fallback is checked to belong to the user), so no other user can listen or send.
//
// A registered message's number is a fixed hash of its name into 0xC000-0xFFFF, the range of
// registered messages on Windows: every process gets the same number for the same name without
// a shared table. Two names can share a number, which only matters to a listener that expects
// both.
#include "os_messages.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform.h"

namespace {

struct posted_message {
    uint32_t message;
    uint32_t reserved;
    uint64_t wparam;
    int64_t lparam;
};

// Makes one private folder level; an existing one must be a real folder of this user.
bool private_folder(const char *path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// The message folder; with create, its missing levels are made.
bool message_folder(char *out, size_t size, bool create) {
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    char base[sizeof(sockaddr_un::sun_path)];
    int n = runtime && runtime[0] == '/' ? snprintf(base, sizeof base, "%s/zorvana", runtime)
                                         : snprintf(base, sizeof base, "/tmp/zorvana-%u", unsigned(getuid()));
    if (n <= 0 || size_t(n) >= sizeof base) return false;
    n = snprintf(out, size, "%s/windows", base);
    if (n <= 0 || size_t(n) >= size) return false;
    return !create || (private_folder(base) && private_folder(out));
}

bool socket_address(sockaddr_un &address, const char *folder, const char *name) {
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path, sizeof address.sun_path, "%s/%s", folder, name);
    return n > 0 && size_t(n) < sizeof address.sun_path;
}

}  // namespace

unsigned os_register_window_message(const char *name) {
    if (!name || !name[0]) return 0;
    uint32_t h = 2166136261u;  // FNV-1a
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++) h = (h ^ *p) * 16777619u;
    return 0xC000u + h % 0x4000u;
}

int os_broadcast_message(unsigned message) {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    char folder[sizeof(sockaddr_un::sun_path)];
    DIR *dir = message_folder(folder, sizeof folder, false) ? opendir(folder) : nullptr;
    // No folder: nobody has ever listened, and the message is posted to nobody.
    while (dir) {
        dirent *e = readdir(dir);
        if (!e) break;
        sockaddr_un to;
        if (e->d_name[0] == '.' || !socket_address(to, folder, e->d_name)) continue;
        posted_message m = {message, 0, 0, 0};
        if (sendto(fd, &m, sizeof m, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0 &&
            errno == ECONNREFUSED) {
            struct stat st;
            if (lstat(to.sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(to.sun_path);
        }
    }
    if (dir) closedir(dir);
    close(fd);
    return 1;
}

int os_listen_for_messages(void) {
    static unsigned counter;
    char folder[sizeof(sockaddr_un::sun_path)], name[32];
    sockaddr_un address;
    snprintf(name, sizeof name, "%ld.%u", long(getpid()), counter++);
    if (!message_folder(folder, sizeof folder, true) || !socket_address(address, folder, name)) return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(address.sun_path);  // left by an earlier process with the same number
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int os_receive_message(int listener, unsigned *message, int timeout_ms) {
    for (;;) {
        pollfd p = {listener, POLLIN, 0};
        int ready = poll(&p, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready;
        posted_message m;
        ssize_t n = recv(listener, &m, sizeof m, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return -1;
        if (size_t(n) != sizeof m) continue;  // not one of ours
        *message = m.message;
        return 1;
    }
}

void os_stop_listening(int listener) {
    sockaddr_un address;
    socklen_t size = sizeof address;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0 && address.sun_path[0])
        unlink(address.sun_path);
    close(listener);
}
