"""The Wine end-to-end harness: private prefixes and displays, the installer's boxes, clean-up by PID.

One prefix template is made per test run (make_template); every session copies it, starts its
own Xvfb and its own wineserver, and takes both down by their process ids when it ends, whatever
happened. Xvfb comes first: a wineserver started without a display keeps a desktop without one.

Message boxes are observed through Wine's relay trace of MessageBoxA, which gives the text, the
caption, the style and the button pressed; the template limits the trace to the few calls the
tests read (RELAY_CALLS), so that a traced program runs at normal speed.

A session runs the programs of one architecture: the delivered i686 installer and its helpers, or
the x86_64 twin and its own. Both use the same 64-bit prefix template, which holds the 32-bit side
(syswow64) wherever Wine's 32-bit loader is installed. The 64-bit loader starts the x86_64
programs; i686 programs go through the `wine` command, as a user would start them, which runs
them in Wine's 32-bit loader. (The 64-bit loader also runs them, but through a 64-bit process of
its own that waits for the 32-bit one and adds its lines to the trace.) The prefix's own tools
(reg, cmd) always run 64-bit. Where the machine does not run 32-bit programs, the i686 sessions
are not made and their tests are skipped with the probe's reason (scripts/probe_32bit.sh).
"""
import os
import re
import shutil
import signal
import subprocess
import time

WINE = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"  # what the `wine` command runs for every program once wine32 is installed
LOADERS = {"x86_64": WINE, "i686": "wine"}
PROBE_32BIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "probe_32bit.sh")
WINESERVER = "/usr/lib/wine/wineserver"
CAPTION = "Instalador de Zorvana"
RELAY_CALLS = ("user32.MessageBoxA", "kernel32.SetDefaultDllDirectories", "kernel32.SetDllDirectoryA")

# Keys that answer a message box whatever the keyboard layout (Yes is the default button).
YES, NO, CANCEL, OK = "Return", "n", "Escape", "Return"


def unavailable(arch):
    """None when arch's programs can run under Wine on this machine, else why they cannot.

    Where the machine runs 32-bit programs but Wine's 32-bit loader is missing (setup.sh installs
    it where the package archive can give it, and says so where it cannot), that is the reason.
    """
    if arch == "x86_64":
        return None
    probe = subprocess.run([PROBE_32BIT], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if probe.returncode != 0:
        return "the i686 installer is not run: this machine " + probe.stdout.strip()
    if not os.path.exists(WINE32):
        return ("the i686 installer is not run: this machine runs 32-bit programs, but Wine's 32-bit "
                "loader %s is not installed (see scripts/setup.sh's output)" % WINE32)
    return None


def base_env(prefix, display=None):
    env = dict(os.environ)
    # Wine takes Windows' ANSI code page and the encoding of Linux file names from the locale: with
    # this one, 1252 (the installer's) and UTF-8, whatever the machine's.
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
    env.pop("DISPLAY", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


class Display:
    """A private Xvfb display, stopped by its process id."""

    def __init__(self, log_dir):
        read_end, write_end = os.pipe()
        self.log = open(os.path.join(log_dir, "xvfb.log"), "wb")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as r:
            number = r.readline().strip()
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not report a display")
        self.name = ":" + number

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def make_template(path, log_dir):
    """A fresh prefix at path, with the relay trace limited to RELAY_CALLS."""
    if os.path.exists(path):
        shutil.rmtree(path)
    os.makedirs(log_dir, exist_ok=True)
    display = Display(log_dir)
    try:
        env = base_env(path, display.name)
        with open(os.path.join(log_dir, "template.log"), "wb") as log:
            server = subprocess.Popen([WINESERVER, "-f", "-p"], env=env, stdout=log, stderr=log)
            try:
                subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=log, stderr=log, check=True, timeout=300)
                subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d",
                                ";".join(RELAY_CALLS), "/f"], env=env, stdout=log, stderr=log, check=True, timeout=60)
            finally:
                stop_server(server, env)
    finally:
        display.stop()


def stop_server(server, env):
    """Ends every program of the prefix and its wineserver, which saves the registry as it goes."""
    subprocess.run([WINESERVER, "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    try:
        server.wait(30)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


class Session:
    """One test's private prefix (a copy of the template), display and wineserver, for one architecture."""

    def __init__(self, template, work_dir, arch="x86_64"):
        if arch == "i686" and not os.path.exists(WINE32):
            raise RuntimeError("this machine runs 32-bit programs, but Wine's 32-bit loader %s is missing: "
                               "run scripts/setup.sh" % WINE32)
        self.loader = LOADERS[arch]
        self.work_dir = work_dir
        if os.path.exists(work_dir):
            shutil.rmtree(work_dir)
        os.makedirs(work_dir)
        self.prefix = os.path.join(work_dir, "prefix")
        subprocess.run(["cp", "-a", template, self.prefix], check=True)
        self.display = Display(work_dir)
        self.env = base_env(self.prefix, self.display.name)
        self.server_log = open(os.path.join(work_dir, "wineserver.log"), "wb")
        self.server = subprocess.Popen([WINESERVER, "-f", "-p"], env=self.env, stdout=self.server_log,
                                       stderr=subprocess.STDOUT)
        self.started = []
        self.runs = 0
        # The prefix's own services and its desktop start with the first program: started here,
        # untraced, they neither slow down nor clutter the traced runs of the tests.
        self.run(["cmd", "/c", "exit"], loader=WINE)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self, keep_prefix=False):
        """Takes the wineserver, every Wine program and Xvfb down; the registry files are then final."""
        if self.server is None:
            return
        try:
            stop_server(self.server, self.env)
            for p in self.started:
                if p.poll() is None:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
        finally:
            self.server = None
            self.server_log.close()
            self.display.stop()

    def remove(self):
        """Deletes the prefix copy (the work folder keeps logs and artifacts)."""
        shutil.rmtree(self.prefix, ignore_errors=True)

    # ---- Paths ----

    def unix_path(self, windows_path):
        """The file behind a path on drive C:, e.g. C:\\windows\\zorvdal -> PREFIX/drive_c/windows/zorvdal."""
        m = re.match(r"^[Cc]:\\(.*)$", windows_path)
        if not m:
            raise ValueError(windows_path)
        return os.path.join(self.prefix, "drive_c", *[p for p in m.group(1).split("\\") if p])

    # ---- Programs ----

    def start(self, args, cwd=None, relay=False, extra_env=None, loader=None):
        """Starts a Windows program (a Unix path or a C: path first) with the session's loader unless
        another is given; its output goes to a log."""
        self.runs += 1
        log_path = os.path.join(self.work_dir, "run%d.log" % self.runs)
        env = dict(self.env, WINEDEBUG="+relay" if relay else "-all")
        env.update(extra_env or {})
        log = open(log_path, "wb")
        p = subprocess.Popen([loader or self.loader] + list(args), cwd=cwd or self.work_dir, env=env, stdout=log,
                             stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        p.log_path = log_path
        self.started.append(p)
        return p

    def run(self, args, cwd=None, relay=False, timeout=60, extra_env=None, loader=None):
        """Runs a program to its end: (exit status, its output)."""
        p = self.start(args, cwd, relay, extra_env, loader)
        p.wait(timeout)
        return p.returncode, output(p)

    def reg_query(self, key, value):
        """`reg query KEY /v VALUE`: (exit status, the value's data or None)."""
        status, text = self.run(["reg", "query", key, "/v", value], loader=WINE)
        m = re.search(r"^\s+%s\s+REG_SZ\s+(.*?)\r?$" % re.escape(value), text, re.M)
        return status, m.group(1) if m else None

    # ---- The display ----

    def find_window(self, title, timeout=30):
        """The id of a shown window whose name is exactly title, waiting for it to appear."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            # Only a mapped window can take the keyboard focus; Wine creates it a moment earlier.
            r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title)],
                               env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            ids = r.stdout.split()
            if ids:
                return ids[0]
            time.sleep(0.1)
        raise AssertionError("no window named %r shown within %d s" % (title, timeout))

    def press(self, window, key, timeout=10):
        """Answers a box by keyboard. (Closing it by the window manager would leave MessageBoxA hanging.)"""
        deadline = time.monotonic() + timeout
        while subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", key], env=self.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30).returncode != 0:
            if time.monotonic() > deadline:
                raise AssertionError("window %s did not take the key %s" % (window, key))
            time.sleep(0.2)

    def screenshot(self, png_path):
        """The whole screen as a PNG: (path, number of colours in it)."""
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.display.name], check=True,
                             stdout=subprocess.PIPE, timeout=30).stdout
        subprocess.run(["convert", "xwd:-", png_path], input=xwd, check=True, timeout=60)
        colours = subprocess.run(["identify", "-format", "%k", png_path], check=True, stdout=subprocess.PIPE,
                                 text=True, timeout=60).stdout
        return int(colours)


def open_session(test, arch):
    """The session of a unittest test case in a folder named after its method, closed and removed
    when the test ends; the test is skipped, with the reason, where arch cannot run here."""
    reason = unavailable(arch)
    if reason:
        test.skipTest(reason)
    name = test.id().rsplit(".", 1)[-1]
    session = Session(os.environ["ZORV_WINE_TEMPLATE"], os.path.join(os.environ["ZORV_WINE_WORK"], name), arch)
    test.addCleanup(session.remove)
    test.addCleanup(session.close)
    return session


def tree(root):
    """{path relative to root: bytes} of every file below root; {} when root does not exist."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root)] = f.read()
    return files


def output(process):
    with open(process.log_path, "rb") as f:
        return f.read().decode("latin-1")


def relayed_calls(text):
    """The relayed calls in a trace, in order: [(function, argument text, return value or None)]."""
    calls = []
    for m in re.finditer(r"^[0-9a-f]{4}:(Call|Ret)\s+[\w.]*?(\w+)\((.*?)\)(?: retval=([0-9a-f]+))?", text, re.M):
        kind, name, args, retval = m.groups()
        if kind == "Call":
            calls.append([name, args, None])
        elif retval is not None:
            for c in reversed(calls):
                if c[0] == name and c[2] is None:
                    c[2] = int(retval, 16)
                    break
    return [tuple(c) for c in calls]


def message_boxes(text):
    """The MessageBoxA calls of a trace: [(text, caption, style, button)]."""
    boxes = []
    for name, args, retval in relayed_calls(text):
        if name == "MessageBoxA":
            m = re.match(r'[0-9a-f]+,[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)$', args)
            if not m:
                raise AssertionError("unreadable MessageBoxA call: " + args)
            boxes.append((m.group(1), m.group(2), int(m.group(3), 16), retval))
    return boxes


if __name__ == "__main__":
    # python3 harness.py template PATH LOG_DIR: makes the prefix template of one test run.
    import sys
    if len(sys.argv) != 4 or sys.argv[1] != "template":
        sys.exit("usage: harness.py template PATH LOG_DIR")
    make_template(sys.argv[2], sys.argv[3])
