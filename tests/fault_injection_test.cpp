// Fault injection at the platform seam: every call of a full installation fails in turn.
//
// Each run must still end in a clear, honest result.
//
// This test build links the installer in-process with the seam's operations (and stdio's reads,
// writes and closes) wrapped at link time (-Wl,--wrap): the wrappers count the calls of each operation
// and make the Nth one fail. Message boxes answer Yes, the one-second wait is skipped, and the
// process exit and the launch are turned into exceptions that end the run, so that one process
// can run the installer hundreds of times.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "driver.h"
#include "payload.h"
#include "payload_test_util.h"
#include "platform.h"
#include "test_util.h"

using Files = std::map<std::string, std::string>;

namespace {

enum Op { FindResource, LoadResource, LockResource, WindowsDir, Mkdir, Open, Read, Write, Close, Remove,
          RegCreate, RegSet, Exec, kOps };
const char *const kOpNames[kOps] = {"find resource", "load resource", "lock resource", "windows directory",
                                    "mkdir", "fopen", "read", "fwrite", "fclose", "remove",
                                    "registry create key", "registry set value", "launch"};

struct Injector {
    bool armed = false;
    int calls[kOps] = {};
    int fail_op = -1;  // which operation fails, at its fail_at-th call (from 1)
    int fail_at = 0;
    std::string failed_remove;  // the path a failing remove left in place
    std::vector<std::string> messages;
};
Injector inj;

bool inject(Op op) { return inj.armed && ++inj.calls[op] == inj.fail_at && op == inj.fail_op; }

struct Exited {
    int status;
};
struct Launched {
    std::string program, arg0, arg1;
};

}  // namespace

extern "C" {
os_resource __real_os_find_resource(int id, const char *type);
void *__real_os_load_resource(os_resource res);
const void *__real_os_lock_resource(void *loaded);
unsigned __real_os_get_windows_directory(char *buffer, unsigned size);
int __real_os_mkdir(const char *path);
FILE *__real_os_fopen(const char *path, const char *mode);
char *__real_fgets_unlocked(char *s, int n, FILE *f);
int __real___uflow(FILE *f);
size_t __real_fwrite(const void *p, size_t size, size_t n, FILE *f);
size_t __real_fwrite_unlocked(const void *p, size_t size, size_t n, FILE *f);
int __real_fclose(FILE *f);
int __real_os_remove(const char *path);
long __real_os_reg_create_key(os_key root, const char *subkey, os_key *out);
long __real_os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size);

os_resource __wrap_os_find_resource(int id, const char *type) {
    return inject(FindResource) ? nullptr : __real_os_find_resource(id, type);
}
void *__wrap_os_load_resource(os_resource res) {
    return inject(LoadResource) ? nullptr : __real_os_load_resource(res);
}
const void *__wrap_os_lock_resource(void *loaded) {
    return inject(LockResource) ? nullptr : __real_os_lock_resource(loaded);
}
unsigned __wrap_os_get_windows_directory(char *buffer, unsigned size) {
    return inject(WindowsDir) ? 0 : __real_os_get_windows_directory(buffer, size);
}
int __wrap_os_mkdir(const char *path) { return inject(Mkdir) ? -1 : __real_os_mkdir(path); }
FILE *__wrap_os_fopen(const char *path, const char *mode) {
    return inject(Open) ? nullptr : __real_os_fopen(path, mode);
}
// Reads: the reader's line reads, and the refills behind its byte reads (glibc's getc_unlocked
// takes bytes from the stream's buffer and calls __uflow when it is empty). A failing read sets
// the stream's error flag, as a failing device does.
char *__wrap_fgets_unlocked(char *s, int n, FILE *f) {
    if (!inject(Read)) return __real_fgets_unlocked(s, n, f);
    f->_flags |= _IO_ERR_SEEN;
    return nullptr;
}
int __wrap___uflow(FILE *f) {
    if (!inject(Read)) return __real___uflow(f);
    f->_flags |= _IO_ERR_SEEN;
    return EOF;
}
size_t __wrap_fwrite(const void *p, size_t size, size_t n, FILE *f) {
    return inject(Write) ? 0 : __real_fwrite(p, size, n, f);
}
size_t __wrap_fwrite_unlocked(const void *p, size_t size, size_t n, FILE *f) {
    return inject(Write) ? 0 : __real_fwrite_unlocked(p, size, n, f);
}
// A failing close still lets go of the stream, but the bytes it held are lost, as when the
// flush of its last bytes fails on a full disk.
int __wrap_fclose(FILE *f) {
    if (!inject(Close)) return __real_fclose(f);
    __fpurge(f);
    __real_fclose(f);
    return EOF;
}
int __wrap_os_remove(const char *path) {
    if (!inject(Remove)) return __real_os_remove(path);
    inj.failed_remove = path;
    return -1;
}
long __wrap_os_reg_create_key(os_key root, const char *subkey, os_key *out) {
    return inject(RegCreate) ? 5 : __real_os_reg_create_key(root, subkey, out);
}
long __wrap_os_reg_set_string(os_key key, const char *name, const void *data, unsigned long size) {
    return inject(RegSet) ? 5 : __real_os_reg_set_string(key, name, data, size);
}
int __wrap_os_exec(const char *program, const char *arg0, const char *arg1) {
    if (inject(Exec)) return -1;
    throw Launched{program, arg0, arg1};
}
int __wrap_os_message_box(const char *text, const char *, unsigned) {
    inj.messages.push_back(text);
    return OS_IDYES;
}
void __wrap_os_sleep(unsigned) {}
void __wrap_os_exit(int status) { throw Exited{status}; }
}

namespace {

const char kExtractionFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado.";
const char kLaunchFailed[] = "No se pudo instalar debido a que el programa de instalacion esta fallado!";
const char kNoWindowsDirectory[] = "No se pudo instalar debido a que no pude determinar el directorio de windows";

const Files kApp = {{"zorv.exe", "MZ program\r\n"},
                    {"lib/zorvcore.dll", std::string(150, 'c') + "\r\n" + std::string(40, 'd')},
                    {"lib/zorvnet.dll", "net\n"},
                    {"data/empty.dat", ""}};

struct Outcome {
    int status = 0;
    bool launched = false;
    std::vector<std::string> messages;
};

// One installation in a sandbox of its own: the current folder, the Windows directory (the
// default target lies under it), the registry store and the runtime folder.
struct Sandbox {
    Sandbox() {
        for (const char *d : {"cwd", "windows", "config", "runtime"}) mkdir((root / d).c_str(), 0700);
        setenv("ZORV_WINDOWS_DIR", (root / "windows").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    }
    Outcome install() {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd) || chdir((root / "cwd").c_str()) != 0) throw std::runtime_error("chdir");
        Outcome o;
        char tail[] = "-s";  // silent: the only boxes are failure messages
        inj.messages.clear();
        inj.armed = true;
        try {
            o.status = WinMain(nullptr, nullptr, tail, 0);
        } catch (const Exited &e) {
            o.status = e.status;
        } catch (const Launched &l) {
            o.launched = true;
            EXPECT_EQ(l.program, root / "windows\\zorvdal\\zorv.exe");
            EXPECT_EQ(l.arg0, l.program);
            EXPECT_EQ(std::string(l.arg1), "-i");
        }
        inj.armed = false;
        o.messages = inj.messages;
        if (chdir(cwd) != 0) throw std::runtime_error("chdir");
        return o;
    }
    bool recorded() {
        const char *v = registry_read_string(os_current_user_key(), "Software\\zorvdal", "Path");
        return v && std::string(v) == root / "windows\\zorvdal\\zorv.exe";
    }
    TempDir root;
};

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override { use_resources(images, {{ZORV_PAYLOAD_ID, bz2(make_archive(kApp))}}); }
    void TearDown() override {
        for (const char *v : {"ZORV_RESOURCE_IMAGE", "ZORV_WINDOWS_DIR", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            unsetenv(v);
    }
    TempDir images;
};

TEST_F(FaultInjection, EveryFailingCallEndsInAnHonestResult) {
    // A clean run counts the calls of each operation.
    inj = Injector();
    {
        Sandbox s;
        Outcome o = s.install();
        ASSERT_TRUE(o.launched);
        ASSERT_EQ(list_tree(s.root / "windows/zorvdal"), kApp);
    }
    int totals[kOps];
    memcpy(totals, inj.calls, sizeof totals);
    for (int op = 0; op < kOps; op++) EXPECT_GT(totals[op], 0) << kOpNames[op] << " is never called";

    int runs = 0;
    for (int op = 0; op < kOps; op++) {
        for (int n = 1; n <= totals[op]; n++) {
            SCOPED_TRACE(std::string(kOpNames[op]) + " fails at call " + std::to_string(n));
            inj = Injector();
            inj.fail_op = op;
            inj.fail_at = n;
            Sandbox s;
            Outcome o = s.install();
            runs++;

            // Nothing lands outside the target; the current folder keeps no temporary file, but for
            // one whose removal was the call that failed.
            Files everything = list_tree(s.root.path), outside;
            for (auto &f : everything)
                if (f.first.compare(0, 16, "windows/zorvdal/") != 0 && f.first.compare(0, 7, "config/") != 0 &&
                    f.first.compare(0, 8, "runtime/") != 0)
                    outside.insert(f);
            if (!inj.failed_remove.empty()) outside.erase("cwd/" + inj.failed_remove);
            EXPECT_EQ(outside, Files{});
            Files installed = list_tree(s.root / "windows/zorvdal");

            if (op == WindowsDir) {
                EXPECT_EQ(o.messages, std::vector<std::string>{kNoWindowsDirectory});
                EXPECT_EQ(o.status, -1);
                EXPECT_TRUE(installed.empty());
                EXPECT_FALSE(s.recorded());
            } else if (op == Exec) {
                EXPECT_EQ(o.messages, std::vector<std::string>{kLaunchFailed});
                EXPECT_EQ(o.status, -1);
                EXPECT_EQ(installed, kApp);
                EXPECT_TRUE(s.recorded());
            } else if (o.launched) {
                // The failure did not matter (a folder that exists anyway, a temporary file left
                // behind, the registry record, which never stops an installation): all is installed.
                EXPECT_TRUE(o.messages.empty());
                EXPECT_EQ(installed, kApp);
                EXPECT_EQ(s.recorded(), op != RegCreate && op != RegSet);
            } else {
                EXPECT_EQ(o.messages, std::vector<std::string>{kExtractionFailed});
                EXPECT_EQ(o.status, -1);
                EXPECT_FALSE(s.recorded());
                // What was written is never a damaged copy reported whole: each file is either
                // the application's own or the entry that failed, cut short.
                for (auto &f : installed) {
                    auto want = kApp.find(f.first);
                    ASSERT_NE(want, kApp.end()) << f.first;
                    EXPECT_EQ(want->second.compare(0, f.second.size(), f.second), 0) << f.first;
                }
            }
        }
    }
    std::cout << "fault injection: " << runs << " runs, one failing call each:";
    for (int op = 0; op < kOps; op++) std::cout << " " << kOpNames[op] << " " << totals[op] << ",";
    std::cout << "\n";
}

}  // namespace
