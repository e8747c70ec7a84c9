// The star command: packs folders into SIMPLE-TAR archives, lists them and extracts them.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "star.h"
#include "star_writer.h"
#include "tool_files.h"

namespace {

const char kUsage[] =
    "usage: star pack ARCHIVE [--crlf] [--stamp SECONDS] [-C DIR] PATH...\n"
    "       star list ARCHIVE\n"
    "       star extract ARCHIVE [-C DIR]\n"
    "       star extract ARCHIVE [-o OUT] [--] NAME\n"
    "       star --help | --version\n"
    "ARCHIVE may be - for standard input or output.\n"
    "pack walks folders recursively with names sorted and '/' between levels; the stamp in the\n"
    "boundary lines defaults to SOURCE_DATE_EPOCH, else the current time.\n";

int fail(const char *archive, const std::string &what) {
    fprintf(stderr, "star: %s: %s\n", archive, what.c_str());
    return 1;
}

int usage_error(const std::string &what) {
    fprintf(stderr, "star: %s\n%s", what.c_str(), kUsage);
    return 1;
}

// The stored name of a command-line path: without "./" or '/' in front and '/' at the end, so
// that ".", "app/" and "/srv/app" pack their contents as "x", "app/x" and "srv/app/x".
std::string stored_name(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    for (;;) {
        if (path.compare(0, 2, "./") == 0) path.erase(0, 2);
        else if (path.size() > 1 && path[0] == '/') path.erase(0, 1);
        else break;
    }
    return path == "." ? "" : path;
}

int cmd_pack(int argc, char **argv) {
    if (argc < 1) return usage_error("pack needs an archive");
    const char *archive = argv[0];
    bool crlf = false;
    long long stamp = -1;
    std::string dir;
    std::vector<std::string> paths;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options && a == "--") options = false;
        else if (options && a == "--crlf") crlf = true;
        else if (options && a == "--stamp") {
            if (++i >= argc || !parse_epoch_seconds(argv[i], stamp)) return usage_error("--stamp needs seconds since 1970");
        } else if (options && a == "-C") {
            if (++i >= argc) return usage_error("-C needs a folder");
            dir = argv[i];
        } else if (options && a.size() > 1 && a[0] == '-') return usage_error("unknown option " + a);
        else paths.push_back(a);
    }
    if (paths.empty()) return usage_error("pack needs at least one path");
    if (stamp < 0) {
        const char *epoch = getenv("SOURCE_DATE_EPOCH");
        if (epoch && *epoch) {
            if (!parse_epoch_seconds(epoch, stamp)) return fail(archive, "SOURCE_DATE_EPOCH is not a number of seconds");
        } else stamp = (long long)time(nullptr);
    }

    std::vector<folder_file> items;
    std::string error;
    for (const std::string &p : paths) {
        std::string where = dir.empty() || p[0] == '/' ? p : dir + "/" + p;
        if (!collect_folder(where, stored_name(p), items, error)) return fail(archive, error);
    }

    star_line_break line_break = crlf ? STAR_CRLF : STAR_LF;
    if (strcmp(archive, "-") == 0) {
        // Standard output cannot be taken back: every body is checked before the first byte goes out.
        if (!check_folder_bodies(items, error) || !write_folder_archive(stdout, items, line_break, stamp, error))
            return fail(archive, error);
        return 0;
    }
    // Written beside the destination and renamed into place, so that a failed pack leaves no
    // half-written archive and never damages an archive that was there before.
    std::string tmp = std::string(archive) + ".tmpXXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd < 0) return fail(archive, strerror(errno));
    fchmod(fd, 0644);
    FILE *out = fdopen(fd, "wb");
    if (!out) {
        error = strerror(errno);
        close(fd);
    }
    bool ok = out && write_folder_archive(out, items, line_break, stamp, error);
    if (out && fclose(out) != 0 && ok) {
        ok = false;
        error = strerror(errno);
    }
    if (ok && rename(tmp.c_str(), archive) != 0) {
        ok = false;
        error = strerror(errno);
    }
    if (!ok) {
        unlink(tmp.c_str());
        return fail(archive, error);
    }
    return 0;
}

// Opens the archive for reading, standard input for "-". Archives are named by their native
// paths here, so the stream is opened directly rather than through the installer's '\' rule.
os_file *open_archive(const char *archive) {
    if (strcmp(archive, "-") == 0) return os_stdio(stdin);
    FILE *f = fopen(archive, "rb");
    return f ? os_stdio(f) : nullptr;
}

// Closes what open_archive opened; whether a read failed on the way.
bool close_archive(const char *archive, os_file *in) {
    bool read_error = os_ferror(in);
    if (strcmp(archive, "-") != 0) os_fclose(in);
    return !read_error;
}

int cmd_list(int argc, char **argv) {
    if (argc != 1) return usage_error("list takes one archive");
    const char *archive = argv[0];
    os_file *in = open_archive(archive);
    if (!in) return fail(archive, strerror(errno));
    while (const char *name = star_next_entry(in)) printf("%s\n", name);
    if (!close_archive(archive, in)) return fail(archive, star_result_text(STAR_ERR_READ));
    return fflush(stdout) == 0 ? 0 : fail(archive, "cannot write the list");
}

int cmd_extract(int argc, char **argv) {
    if (argc < 1) return usage_error("extract needs an archive");
    const char *archive = argv[0];
    const char *dir = nullptr, *out = nullptr, *name = nullptr;
    // -C and -o take a value; "--" ends them, so that an entry may be named "-C". Any other word,
    // dashes and all, is the entry's name: the archive stores names that begin with '-' too.
    bool options = true;
    for (int i = 1; i < argc; i++) {
        if (options && strcmp(argv[i], "--") == 0) {
            options = false;
        } else if (options && (strcmp(argv[i], "-C") == 0 || strcmp(argv[i], "-o") == 0)) {
            if (i + 1 >= argc) return usage_error(std::string(argv[i]) + " needs a value");
            (argv[i][1] == 'C' ? dir : out) = argv[i + 1];
            i++;
        } else if (!name) {
            name = argv[i];
        } else {
            return usage_error("extract takes at most one entry name");
        }
    }
    if (name && dir) return usage_error("-C goes with extracting every entry; use -o for one");
    if (!name && out) return usage_error("-o goes with extracting one entry");

    os_file *in = open_archive(archive);
    if (!in) return fail(archive, strerror(errno));
    static char in_buffer[1 << 16];
    os_setvbuf(in, in_buffer, sizeof in_buffer);
    star_result result;
    std::string out_path = out ? out : "";
    if (name) result = star_extract_one(in, name, out ? &out_path[0] : nullptr);
    else result = star_extract_all(in, dir);
    close_archive(archive, in);
    if (result == STAR_OK) return 0;
    std::string why = star_result_text(result);
    return fail(archive, name ? std::string("entry \"") + name + "\": " + why : why);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage_error("no command given");
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "--version") {
        puts("star " ZORV_VERSION);
        return 0;
    }
    if (cmd == "pack") return cmd_pack(argc - 2, argv + 2);
    if (cmd == "list") return cmd_list(argc - 2, argv + 2);
    if (cmd == "extract") return cmd_extract(argc - 2, argv + 2);
    return usage_error("unknown command " + cmd);
}
