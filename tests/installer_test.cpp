// The Linux installer run as a person runs it: each case is a process of its own on a terminal.
//
// Every run gets a private sandbox: current folder, Windows directory, registry and message
// folder. The consent question and the failure boxes are answered on a pseudo-terminal, and a
// listener in the sandbox's message folder hears the close request. Each run waits a second after
// its close request, so the cases of a table run side by side.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "os_messages.h"
#include "payload_test_util.h"
#include "platform.h"
#include "resource_image.h"
#include "test_util.h"

using namespace std::string_literals;
using Strings = std::vector<std::string>;
using Paths = std::set<std::string>;
using Files = std::map<std::string, std::string>;

namespace {

const std::string kConsent = "Desea instalar el sistema de Zorvana??";
const std::string kNoWindowsDirectory = "No se pudo instalar debido a que no pude determinar el directorio de windows";
const std::string kExtractionFailed = "No se pudo instalar debido a que el programa de instalacion esta fallado.";
const std::string kLaunchFailed = "No se pudo instalar debido a que el programa de instalacion esta fallado!";
const std::string kDirectoryTooLong = "No se pudo instalar debido a que el directorio de destino es demasiado largo";
// Every box on the terminal ends with its button line, which ends with this.
const std::string kBoxPrompt = "(Intro: ";
// An answer that closes the box (the end of input, Ctrl-D) instead of choosing a button.
const std::string kClose = "\x04";
const std::string kRecord = "config/zorvana/registry/HKEY_CURRENT_USER/Software/zorvdal/Path";
const Paths kUntouched = {"cwd/", "windows/"};  // the sandbox before a run
const int kDeadlineSeconds = 60;                // only against a hang: no case comes near it
// A traced run cannot be stopped by the leak checker of a sanitized build at its exit (it stops
// the process with ptrace): traced runs go without it.
const std::string kTraced = "ASAN_OPTIONS=detect_leaks=0";

// What to run: "$D" in args and env stands for the sandbox's folder "destino", "$W" for its
// Windows directory.
struct Plan {
    Strings args = {};
    Strings answers = {};  // one line per box, in order
    Strings env = {};      // "NAME=value" sets a variable, "NAME" removes it
    bool terminal = true;
    bool again = false;  // the sandbox holds an earlier installation into the default folder
};

// One run and everything it leaves.
struct Session {
    Plan plan;
    std::shared_ptr<TempDir> root = std::make_shared<TempDir>();
    int listener = -1, master = -1;
    pid_t pid = -1;
    size_t boxes = 0, scanned = 0;  // boxes answered; output searched for their prompts
    std::string output;
    int status = -1;

    std::string at(const std::string &rel) const { return *root / rel; }
};

std::string expand(std::string s, const Session &r) {
    const std::pair<std::string, std::string> names[] = {{"$D", r.at("destino")}, {"$W", r.at("windows")}};
    for (const auto &[name, value] : names)
        for (size_t at; (at = s.find(name)) != std::string::npos;) s.replace(at, name.size(), value);
    return s;
}

// Files and folders (with a trailing '/') below the sandbox, without the message folder.
void walk(const std::string &root, const std::string &rel, Paths &out) {
    DIR *d = opendir((root + "/" + rel).c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string name = e->d_name, path = rel + name;
        struct stat st;
        if (name == "." || name == ".." || path == "run" || lstat((root + "/" + path).c_str(), &st) != 0) continue;
        out.insert(S_ISDIR(st.st_mode) ? path + "/" : path);
        if (S_ISDIR(st.st_mode)) walk(root, path + "/", out);
    }
    if (d) closedir(d);
}

// The sandbox's paths, without those that start with one of the prefixes.
Paths sandbox_paths(const Session &r, const Strings &except = {}) {
    Paths paths;
    walk(r.root->path, "", paths);
    for (auto it = paths.begin(); it != paths.end();) {
        bool drop = false;
        for (const std::string &p : except) drop = drop || it->rfind(p, 0) == 0;
        it = drop ? paths.erase(it) : std::next(it);
    }
    return paths;
}

std::string record(const Session &r) { return exists(r.at(kRecord)) ? read_file(r.at(kRecord)) : "(no record)"; }

// Every message the run's listener received.
std::vector<unsigned> messages(const Session &r) {
    std::vector<unsigned> out;
    unsigned m;
    while (os_receive_message(r.listener, &m, 0) == 1) out.push_back(m);
    return out;
}

const std::vector<unsigned> kCloseRequestOnly = {os_register_window_message("zorv CERRAR")};

void start(Session &r, const char *program = ZORV_INSTALLER) {
    for (const char *folder : {"cwd", "windows", "run"}) mkdir(r.at(folder).c_str(), 0700);
    if (r.plan.again) {
        mkdir_p(r.at("windows/zorvdal"));
        write_file(r.at("windows/zorvdal/zorv.exe"), "the previous version");
        mkdir_p(r.at(kRecord.substr(0, kRecord.rfind('/'))));
        write_file(r.at(kRecord), "C:\\antes\\zorv.exe\0"s);
    }
    setenv("XDG_RUNTIME_DIR", r.at("run").c_str(), 1);
    r.listener = os_listen_for_messages();
    unsetenv("XDG_RUNTIME_DIR");
    ASSERT_GE(r.listener, 0);

    std::map<std::string, std::string> env = {
        {"PATH", "/usr/bin:/bin"},           {"HOME", r.at("home")},
        {"XDG_CONFIG_HOME", r.at("config")}, {"ZORV_WINDOWS_DIR", r.at("windows")},
        {"XDG_RUNTIME_DIR", r.at("run")},
    };
    for (const std::string &e : r.plan.env) {
        size_t eq = e.find('=');
        if (eq == std::string::npos) env.erase(e);
        else env[e.substr(0, eq)] = expand(e.substr(eq + 1), r);
    }
    Strings args = {program}, vars;
    for (const std::string &a : r.plan.args) args.push_back(expand(a, r));
    for (const auto &[name, value] : env) vars.push_back(name + "=" + value);
    std::vector<char *> argv, envp;
    for (std::string &a : args) argv.push_back(&a[0]);
    for (std::string &v : vars) envp.push_back(&v[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    std::string cwd = r.at("cwd");

    r.pid = forkpty(&r.master, nullptr, nullptr, nullptr);
    if (r.pid == 0) {
        if (!r.plan.terminal) {
            // Output still goes to the pseudo-terminal, but it is no longer the controlling
            // terminal, so no box can be shown.
            signal(SIGHUP, SIG_IGN);
            ioctl(0, TIOCNOTTY);
            signal(SIGHUP, SIG_DFL);
        }
        if (chdir(cwd.c_str()) == 0) execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ASSERT_GT(r.pid, 0) << "cannot start " << program;
    fcntl(r.master, F_SETFD, FD_CLOEXEC);
    fcntl(r.master, F_SETFL, O_NONBLOCK);
}

// Answers each run's boxes as they appear and collects what its terminal shows, until every run
// has ended.
void finish(std::vector<Session> &runs) {
    time_t deadline = time(nullptr) + kDeadlineSeconds;
    for (;;) {
        std::vector<pollfd> fds;
        for (Session &r : runs)
            if (r.master >= 0) fds.push_back({r.master, POLLIN, 0});
        if (fds.empty() || time(nullptr) > deadline) break;
        if (poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
        for (Session &r : runs) {
            char buf[4096];
            ssize_t n = r.master >= 0 ? read(r.master, buf, sizeof buf) : 0;
            if (n <= 0) {
                if (r.master >= 0 && (n == 0 || errno != EAGAIN)) close(r.master), r.master = -1;
                continue;
            }
            r.output.append(buf, size_t(n));
            for (size_t at; (at = r.output.find(kBoxPrompt, r.scanned)) != std::string::npos;) {
                r.scanned = at + kBoxPrompt.size();
                // A box nobody expected is closed, and the checks on the output tell.
                std::string answer = r.boxes < r.plan.answers.size() ? r.plan.answers[r.boxes] : kClose;
                r.boxes++;
                if (answer != kClose) answer += "\n";
                if (write(r.master, answer.data(), answer.size()) < 0) break;
            }
        }
    }
    for (Session &r : runs) {
        int status = 0;
        while (waitpid(r.pid, &status, WNOHANG) == 0) {
            if (time(nullptr) > deadline) {
                ADD_FAILURE() << "still running at the deadline: " << testing::PrintToString(r.plan.args);
                kill(r.pid, SIGKILL);
            }
            usleep(10000);
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
        if (r.master >= 0) close(r.master);
    }
}

std::vector<Session> run_all(const std::vector<Plan> &plans) {
    std::vector<Session> runs(plans.size());
    for (size_t i = 0; i < plans.size(); i++) {
        runs[i].plan = plans[i];
        start(runs[i]);
    }
    finish(runs);
    return runs;
}

// Runs the plan of every case of a table.
template <class Cases>
std::vector<Session> run_cases(const Cases &cases) {
    std::vector<Plan> plans;
    for (const auto &c : cases) plans.push_back(c.plan);
    return run_all(plans);
}

int count(const std::string &text, const std::string &part) {
    int n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) n++;
    return n;
}

// The sample application's files as packed into the installer.
std::map<std::string, std::string> sample_files() {
    return {{"LEEME.txt", read_file(ZORV_SAMPLE_FILES "/LEEME.txt")},
            {"datos/saludo.txt", read_file(ZORV_SAMPLE_FILES "/datos/saludo.txt")},
            {"zorv.exe", read_file(ZORV_SAMPLE_APP)}};
}

// A relative path of exactly length characters, in levels a file system takes.
std::string long_path(size_t length) {
    std::string path = "destino";
    while (path.size() + 1 < length) path += "/" + std::string(std::min<size_t>(200, length - path.size() - 1), 'l');
    return path.size() < length ? path + "l" : path;
}

TEST(Installer, EveryOptionCombination) {
    struct Case {
        Plan plan;  // the answer to the consent question, when asked: "" (Intro) is the default, Yes
        bool asked;
        std::string target;  // where the files go, in the sandbox
        std::string record;  // the recorded path, which the launched program also gets as argument zero
        bool launched;
    };
    const std::string W = "$W\\zorvdal\\zorv.exe", D = "$D\\zorv.exe", dflt = "windows/zorvdal";
    // The longest Windows directory that fits its 1000-byte buffer, and the longest chosen
    // directory that fits the 1500-byte install path with "\zorv.exe".
    const std::string windows_999 = long_path(999), chosen_1490 = long_path(1490);
    const std::vector<Case> cases = {
        {{{}, {"s"}}, true, dflt, W, true},
        {{{"-s"}, {}, {}, true, true}, false, dflt, W, true},
        {{{"-r"}, {"S"}}, true, dflt, W, false},
        {{{"-d", "$D"}, {""}}, true, "destino", D, true},
        {{{"-s", "-r"}, {}, {}, true, true}, false, dflt, W, false},
        {{{"-s", "-d", "$D"}, {}, {}, true, true}, false, "destino", D, true},
        {{{"-r", "-d", "$D"}, {"si"}}, true, "destino", D, false},
        {{{"-s", "-r", "-d", "$D"}}, false, "destino", D, false},
        {{{"-s", "-r", "-d"}}, false, dflt, W, false},
        {{{"-d"}, {"y"}}, true, dflt, W, true},
        {{{"-d", "-r"}, {"s"}}, true, "cwd/-r", "-r\\zorv.exe", true},
        {{{"-r", "-s"}, {"s"}}, true, dflt, W, false},
        {{{"-d", "$D", "-s"}, {"s"}}, true, "destino", D, true},
        {{{"-s", "-s"}}, false, dflt, W, true},
        {{{"-S", "-s", "-r"}, {"s"}}, true, dflt, W, true},
        {{{"-s\t-r"}, {"s"}}, true, dflt, W, true},
        {{{"-s", "-d", "$D con espacios"}}, false, "destino con espacios", "$D con espacios\\zorv.exe", true},
        {{{"-s", "-r", "-d", "$D\\"}}, false, "destino", "$D\\\\zorv.exe", false},
        // A word with a space and a double quote stays whole: Linux hands the words over split.
        {{{"-s", "-r", "-d", "$D \"q z"}}, false, "destino \"q z", "$D \"q z\\zorv.exe", false},
        {{{"-s", "-r"}, {}, {"ZORV_WINDOWS_DIR=" + windows_999}}, false, "cwd/" + windows_999 + "/zorvdal",
         windows_999 + "\\zorvdal\\zorv.exe", false},
        {{{"-s", "-r", "-d", chosen_1490}}, false, "cwd/" + chosen_1490, chosen_1490 + "\\zorv.exe", false},
    };
    ASSERT_EQ(windows_999.size(), 999u);
    ASSERT_EQ(chosen_1490.size(), 1490u);
    std::vector<Session> runs = run_cases(cases);

    for (size_t i = 0; i < cases.size(); i++) {
        const Case &c = cases[i];
        const Session &r = runs[i];
        SCOPED_TRACE("arguments " + testing::PrintToString(c.plan.args) + "\nterminal:\n" + r.output);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count(r.output, kConsent), c.asked ? 1 : 0);
        EXPECT_EQ(count(r.output, kBoxPrompt), c.asked ? 1 : 0);
        EXPECT_EQ(messages(r), kCloseRequestOnly);
        std::string installed = expand(c.record, r);
        EXPECT_EQ(record(r), installed + '\0');
        auto expected = sample_files();
        if (c.launched) expected["zorv-args.txt"] = installed + "\n-i\n";
        EXPECT_EQ(list_tree(r.at(c.target)), expected);
        // Nothing else: no temporary files in the current folder, no other folder.
        EXPECT_EQ(sandbox_paths(r, {"config/", "windows/zorvdal/", "destino", "cwd/destino/", "cwd/-r/"}), kUntouched);
    }
}

// Any answer but Yes, and a question that cannot be asked, end the run before anything happens.
TEST(Installer, DeclinedConsentChangesNothing) {
    std::vector<Session> runs = run_all({
        {{}, {"n"}},
        {{"-r"}, {"c"}},
        {{"-d", "$D"}, {kClose}},
        {{"-r", "-d", "$D"}, {"quizas", "No"}},
        {{"-d", "$D"}, {"cancelar"}},
        {{"-r"}, {}, {}, false},
    });
    for (const Session &r : runs) {
        SCOPED_TRACE("arguments " + testing::PrintToString(r.plan.args) + "\nterminal:\n" + r.output);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count(r.output, kConsent), 1);
        EXPECT_EQ(count(r.output, kBoxPrompt), int(r.plan.answers.size()));
        EXPECT_EQ(messages(r), std::vector<unsigned>{});
        EXPECT_EQ(sandbox_paths(r), kUntouched);
    }
}

TEST(Installer, FailuresShowTheirMessageAndLeaveWhatTheyShould) {
    TempDir images;
    // A resource image holding nothing but a payload made of the given entries.
    auto payload = [&](const std::string &name, const std::string &archive) {
        std::string error, path = images / name;
        EXPECT_TRUE(write_resource_image("", {{"RCDATA_RAW", 101, bz2(archive)}}, path, error)) << error;
        return "ZORV_RESOURCE_IMAGE=" + path;
    };
    std::string cut = make_archive({{"LEEME.txt", "leeme\n"}, {"zorv.exe", "CUT HERE" + std::string(500, 'z')}});
    cut.resize(cut.find("CUT HERE") + 100);
    const std::string absent = "ZORV_RESOURCE_IMAGE=" + images / "absent", cut_in_body = payload("cut", cut),
                      not_a_program = payload("text", make_archive({{"LEEME.txt", "leeme\n"}, {"zorv.exe", "MZ no es un programa\r\n"}})),
                      no_program = payload("none", make_archive({{"LEEME.txt", "leeme\n"}}));

    const struct {
        const char *what;
        Plan plan;
        std::string message;
        Paths remains;       // below the sandbox, besides what was there before
        std::string record;  // "" for none
    } cases[] = {
        {"no Windows directory", {{"-s"}, {""}, {"ZORV_WINDOWS_DIR", "HOME", "XDG_DATA_HOME"}}, kNoWindowsDirectory, {}, ""},
        {"Windows directory of 1000 characters", {{"-s", "-r"}, {""}, {"ZORV_WINDOWS_DIR=" + long_path(1000)}},
         kNoWindowsDirectory, {}, ""},
        {"chosen directory of 1491 characters", {{"-s", "-r", "-d", long_path(1491)}, {""}}, kDirectoryTooLong, {}, ""},
        {"payload missing", {{"-s", "-r", "-d", "$D"}, {""}, {absent}}, kExtractionFailed, {}, ""},
        {"payload missing, no terminal", {{"-s", "-r", "-d", "$D"}, {}, {absent}, false}, kExtractionFailed, {}, ""},
        {"payload missing, default folder", {{"-s"}, {""}, {absent}}, kExtractionFailed, {}, ""},
        {"payload cut in a body", {{"-s", "-d", "$D"}, {""}, {cut_in_body}}, kExtractionFailed, {}, ""},
        {"program is not a program", {{"-s", "-d", "$D"}, {""}, {not_a_program}}, kLaunchFailed,
         {"config/", "destino/", "destino/LEEME.txt", "destino/zorv.exe"}, "$D\\zorv.exe"},
        {"program missing", {{"-s", "-d", "$D"}, {""}, {no_program}}, kLaunchFailed,
         {"config/", "destino/", "destino/LEEME.txt"}, "$D\\zorv.exe"},
    };
    std::vector<Session> runs = run_cases(cases);

    for (size_t i = 0; i < runs.size(); i++) {
        const auto &c = cases[i];
        const Session &r = runs[i];
        SCOPED_TRACE(std::string(c.what) + "\nterminal:\n" + r.output);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(count(r.output, c.message), 1);
        EXPECT_EQ(count(r.output, "Instalador de Zorvana"), 1);
        EXPECT_EQ(count(r.output, kBoxPrompt), c.plan.terminal ? 1 : 0);
        // The close request always goes out before the target is settled.
        EXPECT_EQ(messages(r), kCloseRequestOnly);
        EXPECT_EQ(record(r), c.record.empty() ? "(no record)" : expand(c.record, r) + '\0');
        Paths remains = kUntouched;
        remains.insert(c.remains.begin(), c.remains.end());
        EXPECT_EQ(sandbox_paths(r, {"config/zorvana"}), remains);
    }
}

// A running copy of the application hears the close request and quits within the installer's wait.
TEST(Installer, CloseRequestEndsTheRunningApplication) {
    std::vector<Session> runs(2);
    Session &app = runs[0], &installer = runs[1];
    start(app, ZORV_SAMPLE_APP);
    std::string folder = app.at("run/zorvana/windows"), prefix = std::to_string(app.pid) + ".";
    auto listening = [&] {
        bool found = false;
        if (DIR *d = opendir(folder.c_str())) {
            while (dirent *e = readdir(d)) found = found || std::string(e->d_name).rfind(prefix, 0) == 0;
            closedir(d);
        }
        return found;
    };
    for (time_t deadline = time(nullptr) + kDeadlineSeconds; !listening() && time(nullptr) < deadline;) usleep(10000);
    ASSERT_TRUE(listening()) << "the application never started listening";

    installer.root = app.root;
    installer.plan.args = {"-s", "-r", "-d", "$D"};
    start(installer);
    finish(runs);
    EXPECT_EQ(installer.status, 0);
    EXPECT_EQ(app.status, 0) << app.output;
    EXPECT_NE(app.output.find("recibida la peticion de cierre"), std::string::npos) << app.output;
    EXPECT_FALSE(listening()) << "the application left its socket behind";
}

// An upgrade: an earlier installation of eight files of size bytes that the new version replaces and
// a file of the user's; what it leaves; the new version as the payload carries it.
struct Upgrade {
    Files before, after, app;
};
Upgrade upgrade(size_t size) {
    std::mt19937 rng(11);
    auto noise = [&](size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = char('a' + rng() % 16);
        return s;
    };
    Upgrade u;
    u.before = u.after = {{"usuario.txt", "the user's own\n"}};
    for (int i = 0; i < 8; i++) {
        std::string name = "lib/f" + std::to_string(i) + ".dll";
        u.before[name] = noise(size);
        u.after[name] = noise(size);
    }
    u.after["nuevo.dat"] = noise(1000);
    u.app = u.after;
    u.app.erase("usuario.txt");
    return u;
}

// What a target holds after an upgrade was stopped: its files (left) and what lies in the change's
// own folder (aside). Until the change is whole, each earlier file must be in one or the other,
// with its bytes.
struct Stopped {
    Files left, aside;
    explicit Stopped(const std::string &target) : left(list_tree(target)) {
        for (auto &f : left)
            if (f.first.rfind("tmp_inst.old/", 0) == 0) aside.insert(f);
        for (auto &f : aside) left.erase(f.first);
    }
    void expect_kept(const Files &before) {
        for (auto &f : before) {
            bool kept = left.count(f.first) && left[f.first] == f.second;
            for (auto &a : aside) kept = kept || a.second == f.second;
            EXPECT_TRUE(kept) << f.first << " is lost";
        }
    }
};

// Where the killed-upgrade test stops each run, as seen from outside: during the wait, while the
// archive is being decompressed, as each entry is announced in the journal (and a few system calls
// later, while it is being written), and once the change is marked finished; and two points where
// a second run is started instead.
struct KillPoint {
    std::string what;
    std::function<bool(const Session &)> reached;
    int later = 0;   // system-call stops to let pass once the point is reached
    int second = 0;  // instead of the kill, a second run: 1 from a folder of its own, 2 from this one's
};
std::vector<KillPoint> kill_points(size_t archive_size) {
    auto size_of = [](const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? size_t(st.st_size) : size_t(0);
    };
    auto journal = [](const Session &r) {
        std::string path = r.at("destino/tmp_inst.old/journal");
        return exists(path) ? "\n" + read_file(path) : "";
    };
    auto moved = [](const Session &r) {
        DIR *d = opendir(r.at("destino/tmp_inst.old").c_str());
        int n = 0;
        while (dirent *e = d ? readdir(d) : nullptr) n += isdigit((unsigned char)e->d_name[0]) != 0;
        if (d) closedir(d);
        return n;
    };
    // The first point is the wait, which lasts a second: that run is killed by the clock.
    std::vector<KillPoint> points = {{"during the wait", nullptr}};
    for (size_t k = 1; k <= 5; k++)
        points.push_back({"decompressed " + std::to_string(k) + "/6", [=](const Session &r) {
                              return size_of(r.at("cwd/tmp_inst.sta")) >= archive_size * k / 6;
                          }});
    points.push_back({"journal begun", [=](const Session &r) { return !journal(r).empty(); }});
    // The plan, then each earlier file moved aside (and, a few calls later, its successor being
    // written), then the new file that has none.
    for (int j = 1; j <= 8; j++)
        for (int later : {0, 6}) {
            if (later && j % 3) continue;
            points.push_back({"entry " + std::to_string(j) + (later ? ", being written" : ", moved aside"),
                              [=](const Session &r) { return moved(r) >= j; }, later});
        }
    points.push_back({"the new file", [](const Session &r) { return exists(r.at("destino/nuevo.dat")); }});
    auto finished = [=](const Session &r) { return journal(r).find("\nc\n") != std::string::npos; };
    points.push_back({"finished", finished});
    points.push_back({"cleaning up", finished, 4});
    points.push_back({"a second run into the target", [=](const Session &r) { return moved(r) >= 4; }, 0, 1});
    points.push_back({"a second run from the same folder", [=](const Session &r) { return moved(r) >= 4; }, 0, 2});
    return points;
}

// Killed at any moment, an upgrade loses no earlier file, and the next run finishes what it left;
// a second run started while it holds the target changes nothing, and the first ends as alone.
//
// The earlier installation holds eight files that the new version replaces and a file of the
// user's; the payload takes a few hundred milliseconds to install. Each run is killed (SIGKILL)
// at one of the kill points. So that no point is missed however busy the machine is, the runs are
// traced (ptrace) and looked at whenever one enters or leaves a system call, while it stands
// still; the extraction is over in milliseconds.
TEST(Installer, KilledUpgradeLosesNothingAndTheNextRunEndsAsARun) {
    const Upgrade u = upgrade(512 * 1024);
    const Files &before = u.before, &after = u.after, &app = u.app;
    TempDir images;
    const std::string archive = make_archive(app), image = images / "image";
    std::string error;
    ASSERT_TRUE(write_resource_image("", {{"RCDATA_RAW", 101, bz2(archive)}}, image, error)) << error;

    const std::vector<KillPoint> points = kill_points(archive.size());
    std::vector<Session> seconds(points.size());
    std::vector<Files> held(points.size());
    std::vector<bool> unchanged(points.size());

    std::vector<Session> runs(points.size());
    std::map<pid_t, size_t> traced;
    for (size_t i = 0; i < runs.size(); i++) {
        Session &r = runs[i];
        r.plan.args = {"-s", "-r", "-d", "$D"};
        r.plan.env = {"ZORV_RESOURCE_IMAGE=" + image, kTraced};
        mkdir_p(r.at("destino/lib"));
        for (auto &f : before) write_file(r.at("destino/" + f.first), f.second);
        start(r);
        if (i == 0) {
            usleep(300000);
            kill(r.pid, SIGKILL);
            continue;
        }
        ASSERT_EQ(ptrace(PTRACE_SEIZE, r.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL), 0) << strerror(errno);
        ASSERT_EQ(ptrace(PTRACE_INTERRUPT, r.pid, nullptr, nullptr), 0);
        traced[r.pid] = i;
    }
    // Each stop of a traced run: its point checked while it stands still, then on it goes.
    std::vector<int> status(runs.size(), -1), countdown(runs.size(), -1);
    for (size_t alive = traced.size(); alive > 0;) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, __WALL);
        if (pid < 0) break;
        size_t i = 0;
        while (i < runs.size() && runs[i].pid != pid) i++;
        if (i == runs.size()) continue;
        if (WIFEXITED(st) || WIFSIGNALED(st)) {
            status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            alive -= traced.count(pid);
            continue;
        }
        int sig = WSTOPSIG(st), inject = 0;
        if (sig == (SIGTRAP | 0x80)) {
            if (countdown[i] == -1 && points[i].reached(runs[i])) countdown[i] = points[i].later;
            if (countdown[i] == 0 && points[i].second) {
                // The second run, while this one stands still holding the target and its files.
                Session &other = seconds[i];
                if (points[i].second == 2) other.root = runs[i].root;
                other.plan = {{"-s", "-r", "-d", runs[i].at("destino")}, {}, {"ZORV_RESOURCE_IMAGE=" + image}};
                held[i] = list_tree(runs[i].at("destino"));
                start(other);
                std::vector<Session> alone(1);
                std::swap(alone[0], other);
                finish(alone);
                std::swap(alone[0], other);
                unchanged[i] = list_tree(runs[i].at("destino")) == held[i];
                countdown[i] = -2;
            } else if (countdown[i] == 0) {
                kill(pid, SIGKILL);
                continue;
            }
            if (countdown[i] > 0) countdown[i]--;
        } else if (st >> 16 != PTRACE_EVENT_STOP) {
            inject = sig;  // a signal for the run itself
        }
        ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void *>(intptr_t(inject)));
    }
    finish(runs);
    for (size_t i = 0; i < runs.size(); i++)
        if (status[i] >= 0) runs[i].status = status[i];

    // After each kill every earlier file is in place or moved aside, with its bytes.
    int mid_run = 0;
    std::vector<Session> again(runs.size());
    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE("killed at: " + points[i].what);
        bool killed = runs[i].status == 1000 + SIGKILL;
        mid_run += killed;
        Stopped target(runs[i].at("destino"));
        if (!killed) {
            EXPECT_TRUE(target.left == after) << "a run that was not killed did not install the new version";
        }
        if (points[i].second) {
            EXPECT_EQ(runs[i].status, 0);
            EXPECT_EQ(seconds[i].status, 255) << seconds[i].output;
            EXPECT_EQ(count(seconds[i].output, kExtractionFailed), 1);
            EXPECT_TRUE(unchanged[i]) << "the second run changed the target";
        }
        // Once the new version is whole, the earlier files may be gone: the change is made.
        if (target.left != after) target.expect_kept(before);
        again[i].root = runs[i].root;
        again[i].plan = runs[i].plan;
        start(again[i]);
    }
    EXPECT_GE(mid_run, 20) << "runs that the kill stopped half way";
    // One more run ends exactly as a run that was never killed: the new version, the user's file,
    // nothing of the change, no temporary file.
    finish(again);
    for (size_t i = 0; i < again.size(); i++) {
        SCOPED_TRACE("killed at: " + points[i].what);
        EXPECT_EQ(again[i].status, 0) << again[i].output;
        EXPECT_TRUE(list_tree(again[i].at("destino")) == after) << "the target differs from the new version";
        EXPECT_FALSE(exists(again[i].at("destino/tmp_inst.old")));
        EXPECT_EQ(sandbox_paths(again[i], {"config/", "destino/", "home/"}), kUntouched);
    }
    std::cout << "killed upgrades: " << mid_run << " of " << runs.size() << " stopped half way, all finished by the next run\n";
}

// ---- The power cut: a real file system, and only what the installer puts on the disk ----

int sh(const std::string &command) { return system(("(" + command + ") >/dev/null 2>&1").c_str()); }

// While it lives, the kernel writes back nothing by itself: what reaches a disk is what a program
// flushed (and the file system's journal commits, which the mount below puts off).
struct NoWriteBack {
    const std::string setting = "/proc/sys/vm/dirty_writeback_centisecs";
    std::string saved = read_file(setting);
    NoWriteBack() { write_file(setting, "0\n"); }
    ~NoWriteBack() { write_file(setting, saved); }
};

// An ext4 file system in an image file, mounted on a loop device: the image file holds what the
// disk would hold.
struct Disk {
    std::string image, at;
    bool mounted = false;
    Disk(std::string image_, std::string at_) : image(std::move(image_)), at(std::move(at_)) {
        mkdir(at.c_str(), 0700);
        mounted = sh("mount -o loop,commit=600 " + image + " " + at) == 0;
    }
    ~Disk() {
        if (mounted) sh("umount " + at);
    }
};

// Traces r from now on: it stands still at each of its system calls until run_to lets it go on.
void seize(Session &r) {
    ASSERT_EQ(ptrace(PTRACE_SEIZE, r.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL), 0) << strerror(errno);
    ASSERT_EQ(ptrace(PTRACE_INTERRUPT, r.pid, nullptr, nullptr), 0);
    int st;
    waitpid(r.pid, &st, __WALL);
}

// Lets the traced r go on to the next system call it enters for which at() holds, where it stands
// still: true; false once it has ended (r.status then says how).
bool run_to(Session &r, const std::function<bool(const __ptrace_syscall_info &)> &at) {
    for (int sig = 0;;) {
        ptrace(PTRACE_SYSCALL, r.pid, nullptr, reinterpret_cast<void *>(intptr_t(sig)));
        sig = 0;
        int st = 0;
        if (waitpid(r.pid, &st, __WALL) < 0) return false;
        if (WIFEXITED(st) || WIFSIGNALED(st)) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            return false;
        }
        __ptrace_syscall_info info;
        if (WSTOPSIG(st) != (SIGTRAP | 0x80)) {
            if (st >> 16 != PTRACE_EVENT_STOP) sig = WSTOPSIG(st);
        } else if (ptrace(PTRACE_GET_SYSCALL_INFO, r.pid, sizeof info, &info) > 0 &&
                   info.op == PTRACE_SYSCALL_INFO_ENTRY && at(info)) {
            return true;
        }
    }
}

// Whether a system call about to be made can change what lies below root: a write, a flush or a
// truncation of a file there, or any change of names.
bool changes(pid_t pid, const __ptrace_syscall_info &info, const std::string &root) {
    auto below_root = [&](uint64_t fd) {
        char link[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
        return n > 0 && std::string(link, size_t(n)).rfind(root, 0) == 0;
    };
    switch (info.entry.nr) {
    case SYS_write: case SYS_pwrite64: case SYS_writev: case SYS_ftruncate: case SYS_fsync: case SYS_fdatasync:
        return below_root(info.entry.args[0]);
    case SYS_rename: case SYS_renameat: case SYS_renameat2: case SYS_unlink: case SYS_unlinkat: case SYS_mkdir:
    case SYS_mkdirat: case SYS_rmdir:
        return true;
    case SYS_openat: return (info.entry.args[2] & O_CREAT) != 0;
    }
    return false;
}

// The disk a power cut would leave: the image file as it is now.
struct Cut {
    std::string what, image;
    bool ended;  // the run had ended, with status 0
};

// Runs the installer traced over the mounted disk, and copies the image at every system call that
// can change the disk, before it is made, and once the run has ended.
std::vector<Cut> cut_at_every_call(const Disk &disk, const std::string &payload, const std::string &folder,
                                   const std::string &name) {
    std::vector<Cut> cuts;
    std::vector<Session> run(1);
    Session &r = run[0];
    r.plan = {{"-s", "-r", "-d", disk.at + "/destino"}, {}, {"ZORV_RESOURCE_IMAGE=" + payload, kTraced}};
    start(r);
    seize(r);
    uint64_t nr = 0;
    auto copy = [&](const std::string &what, bool ended) {
        static int copies = 0;
        Cut c = {name + ", " + what, folder + "/cut-" + std::to_string(++copies), ended};
        EXPECT_EQ(sh("cp --sparse=always " + disk.image + " " + c.image), 0);
        cuts.push_back(c);
    };
    while (run_to(r, [&](const __ptrace_syscall_info &info) { return changes(r.pid, info, disk.at) && (nr = info.entry.nr, true); }))
        copy("before call " + std::to_string(cuts.size() + 1) + " (system call " + std::to_string(nr) + ")", false);
    int status = r.status;
    finish(run);
    EXPECT_EQ(status, 0) << r.output;
    copy("after the run ended", true);
    return cuts;
}

// Cut off at any system call, an upgrade on a real disk loses nothing, and so does the run that
// finishes it, cut off in turn.
//
// The earlier installation lies on an ext4 file system in an image file on a loop device, mounted
// so that nothing reaches the image but what is flushed: journal commits put off (commit=600) and
// the kernel's periodic write-back off. The upgrade is traced and stopped before every system call
// that can change that disk, and the image is copied then: the disk a power cut at that moment
// would leave. A run that finishes what one such cut left is cut at every call too. Each copy,
// mended by e2fsck as after a power cut, must hold every earlier file in place or moved aside,
// byte for byte, until the change is marked finished on it, and from then on the new version
// whole; one more run on it must end with the new version exactly.
TEST(Installer, PowerCutAtAnySystemCallLosesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    const Upgrade u = upgrade(40000);
    const Files &before = u.before, &after = u.after, &app = u.app;
    TempDir work;
    const std::string payload = work / "payload", image = work / "disk.img";
    std::string error;
    ASSERT_TRUE(write_resource_image("", {{"RCDATA_RAW", 101, bz2(make_archive(app))}}, payload, error)) << error;
    if (sh("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + image + " 16M") != 0)
        GTEST_SKIP() << "no mkfs.ext4";
    std::vector<Cut> cuts;
    {
        Disk disk(image, work / "disk");
        if (!disk.mounted) GTEST_SKIP() << "cannot mount a loop device here";
        mkdir_p(disk.at + "/destino/lib");
        for (auto &f : before) write_file(disk.at + "/destino/" + f.first, f.second);
        ASSERT_EQ(sh("sync -f " + disk.at), 0);
        NoWriteBack quiet;
        cuts = cut_at_every_call(disk, payload, work.path, "upgrade");
    }
    const size_t upgrade_cuts = cuts.size();
    {
        // The run after a cut half way through the change, when files have been moved aside.
        const std::string mid = work / "mid.img";
        ASSERT_EQ(sh("cp --sparse=always " + cuts[upgrade_cuts / 2].image + " " + mid + " && e2fsck -fy " + mid + " || test $? -lt 4"), 0);
        Disk disk(mid, work / "mid");
        ASSERT_TRUE(disk.mounted);
        NoWriteBack quiet;
        std::vector<Cut> more = cut_at_every_call(disk, payload, work.path, "the run after cut " + std::to_string(upgrade_cuts / 2 + 1));
        cuts.insert(cuts.end(), more.begin(), more.end());
    }
    EXPECT_GE(upgrade_cuts, 50u);

    // Each disk as the power cut left it, then with one more run; a few at a time, side by side.
    size_t finished = 0;
    for (size_t from = 0; from < cuts.size(); from += 16) {
        std::vector<std::unique_ptr<Disk>> disks;
        std::vector<Session> again;
        std::vector<size_t> which;
        for (size_t i = from; i < cuts.size() && i < from + 16; i++) {
            const Cut &c = cuts[i];
            SCOPED_TRACE(c.what);
            EXPECT_EQ(sh("e2fsck -fy " + c.image + " || test $? -lt 4"), 0) << "e2fsck cannot mend the disk";
            disks.push_back(std::make_unique<Disk>(c.image, c.image + ".at"));
            if (!disks.back()->mounted) {
                ADD_FAILURE() << "the disk does not mount";
                continue;
            }
            const std::string target = disks.back()->at + "/destino";
            Stopped disk(target);
            std::string journal = "\n" + (disk.aside.count("tmp_inst.old/journal") ? disk.aside["tmp_inst.old/journal"] : "");
            bool marked = journal.find("\nc\n") != std::string::npos;
            // The clean-up of a change needs no flush of its own: a change marked finished on the
            // disk is cleaned up by the next run.
            if (c.ended) {
                EXPECT_TRUE(disk.left == after && (disk.aside.empty() || marked)) << "the installation that ended is not on the disk";
            } else if (marked) {
                finished++;
                EXPECT_TRUE(disk.left == after) << "marked finished, and the new version is not whole";
            } else {
                disk.expect_kept(before);
            }
            again.emplace_back();
            again.back().plan = {{"-s", "-r", "-d", target}, {}, {"ZORV_RESOURCE_IMAGE=" + payload}};
            start(again.back());
            which.push_back(i);
        }
        finish(again);
        for (size_t k = 0; k < again.size(); k++) {
            SCOPED_TRACE(cuts[which[k]].what + ", then one more run");
            const std::string target = cuts[which[k]].image + ".at/destino";
            EXPECT_EQ(again[k].status, 0) << again[k].output;
            EXPECT_TRUE(list_tree(target) == after) << "the target differs from the new version";
        }
        for (size_t i = from; i < cuts.size() && i < from + 16; i++) unlink(cuts[i].image.c_str());
    }
    std::cout << "power cuts: " << upgrade_cuts << " during the upgrade, " << cuts.size() - upgrade_cuts
              << " during the run after one; " << finished << " after the change was marked finished\n";
}

}  // namespace
