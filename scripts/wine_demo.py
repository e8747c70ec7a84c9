#!/usr/bin/env python3
"""Runs a Windows installer under Wine as the main command shows it, in a prefix of its own.

    wine_demo.py ARCH INSTALLER CLOSE_REQUEST_EXE WORK_DIR

ARCH is i686 (the delivered installer, started with `wine`) or x86_64 (its twin, started with
Wine's 64-bit loader); CLOSE_REQUEST_EXE is the helper built for the same one. Makes a fresh
prefix under WORK_DIR with its own Xvfb display, puts the installer into the prefix's downloads
folder, runs it silently into "C:\\Program Files\\Zorvana" (it then starts the
application with "-i"), and shows the installed files, the registry record and what the launched
application received. The application is then asked to quit with the close request, and Wine and
Xvfb are taken down. The prefix is removed at the end; WORK_DIR keeps the installed folder, the
prefix's user.reg and the logs.
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import harness  # noqa: E402

TARGET = r"C:\Program Files\Zorvana"
DOWNLOADS = r"C:\users\Public\Downloads"


COMMAND = {"i686": "wine", "x86_64": "wine64"}


def main(arch, installer, close_request, work_dir):
    template = os.path.join(work_dir, "template")
    print("== making a Wine prefix of its own (about 15 s)", flush=True)
    harness.make_template(template, os.path.join(work_dir, "logs"))
    session = harness.Session(template, os.path.join(work_dir, "session"), arch)
    shutil.rmtree(template)
    try:
        downloads = session.unix_path(DOWNLOADS)
        os.makedirs(downloads, exist_ok=True)
        shutil.copyfile(installer, os.path.join(downloads, "zorv-setup.exe"))
        print('== %s zorv-setup.exe -s -d "%s"   (current folder %s)' % (COMMAND[arch], TARGET, DOWNLOADS), flush=True)
        process = session.start([DOWNLOADS + r"\zorv-setup.exe", "-s", "-d", TARGET], cwd=downloads)
        process.wait(120)
        print("   the installer's process ended with status %d (replaced by the application)" % process.returncode)

        folder = session.unix_path(TARGET)
        record = os.path.join(folder, "zorv-args.txt")
        deadline = time.monotonic() + 30
        while not os.path.exists(record) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.2)
        print("== installed into %s:" % TARGET)
        for root, _, names in sorted(os.walk(folder)):
            for name in sorted(names):
                path = os.path.join(root, name)
                print("   %-28s %7d bytes" % (os.path.relpath(path, folder).replace("/", "\\"), os.path.getsize(path)))
        print("   (zorv-args.txt is written by the launched application)")
        print(r"== registry record: wine64 reg query HKCU\Software\zorvdal /v Path")
        status, text = session.run(["reg", "query", r"HKCU\Software\zorvdal", "/v", "Path"], loader=harness.WINE)
        print("\n".join("   " + line for line in text.replace("\r", "").splitlines() if line.strip()))
        print("== what the launched application received (zorv-args.txt, one argument a line):")
        with open(record, encoding="latin-1") as f:
            for i, arg in enumerate(f.read().splitlines()):
                print("   argv[%d] = %s" % (i, arg))

        print("== the close request (\"zorv CERRAR\") makes the running application quit")
        status, _ = session.run([os.path.abspath(close_request)])
        if status != 0:
            print("   the close request could not be sent (status %d)" % status)
        app_gone = wait_for_no_window(session)
        print("   " + ("the application has quit" if app_gone else "the application is still running"))
    finally:
        session.close()
    with open(os.path.join(session.prefix, "user.reg"), encoding="latin-1") as f:
        section = f.read().split("[Software\\\\zorvdal]", 1)
    if len(section) == 2:
        print("== the same record in the prefix's user.reg:")
        print("   [Software\\\\zorvdal]" + section[1].split("\n\n", 1)[0].replace("\n", "\n   "))
    # The prefix is large; what the run made is kept beside the logs.
    kept = os.path.join(work_dir, "installed")
    shutil.copytree(session.unix_path(TARGET), kept)
    shutil.copyfile(os.path.join(session.prefix, "user.reg"), os.path.join(work_dir, "user.reg"))
    session.remove()
    print("== kept: the installed folder in %s, the registry in %s" % (kept, os.path.join(work_dir, "user.reg")))


def wait_for_no_window(session, timeout=10):
    """Whether the sample's hidden window ("Zorvana") is gone within timeout."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        r = subprocess.run(["xdotool", "search", "--name", "^Zorvana$"], env=session.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if not r.stdout.split():
            return True
        time.sleep(0.2)
    return False


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in COMMAND:
        sys.exit(__doc__)
    main(*sys.argv[1:])
