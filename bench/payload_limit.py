#!/usr/bin/env python3
"""Payload size limit: whether a Windows installer whose payload resource has a given size runs under Wine.

    bench/payload_limit.py ARCH SIZE [SIZE...]      (ARCH i686 or x86_64; SIZE in bytes, e.g. 2.07e9)

The loader maps the whole image, payload resource included, before any code of the installer
runs; in a 32-bit process that image must fit into the address space beside Wine's own
libraries. What decides is the size of the resource, not what it holds, so each installer is made
from the sample application compressed with bzip2 -9 and padded with zeros to SIZE bytes: the
installer writes the whole resource to tmp_inst.bz2, decodes the one stream at its start (bzip2
ignores what follows a stream's end) and installs the sample. That makes a point cost a few
seconds of writing instead of minutes of compressing incompressible data.

Each installer is written from the platform's kit (build/host/share/zorvana/ARCH) as zorv-pack
writes it, by zorv-resimage: the kit's installer program with the padded payload, the icon and
the icon group in a resource section. It is run silently, without launch, in a fresh copy of
one prefix template. One line per size: the image's size, the exit status, what was installed
and Wine's complaint if any. Work files go under build/bench/payload_limit (they are large: put
TMPDIR-like space there) and are removed after each point.
"""
import os
import shutil
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import harness  # noqa: E402

TREES = {"i686": "build/win32", "x86_64": "build/win64"}
TARGET = r"C:\Zorvana Grande"
DOWNLOADS = r"C:\users\Public\Downloads"


def write_installer(kit_dir, stream, size, work):
    """An installer whose payload resource is stream padded with zeros to size bytes."""
    os.makedirs(work, exist_ok=True)
    payload = os.path.join(work, "payload.bz2")
    shutil.copyfile(stream, payload)
    os.truncate(payload, size)  # sparse: the zeros cost no disk until they are copied
    # The icon file's one image is icon 1; the group is the file's header and entry, naming it.
    with open(os.path.join(kit_dir, "zorv.ico"), "rb") as f:
        ico = f.read()
    image_size, image_at = struct.unpack_from("<II", ico, 6 + 8)
    icons = {"icon": ico[image_at:image_at + image_size], "group": ico[:6 + 12] + struct.pack("<H", 1)}
    for name, data in icons.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    installer = os.path.join(work, "installer.exe")
    subprocess.run([os.path.join(ROOT, "build", "host", "zorv-resimage"), installer,
                    os.path.join(kit_dir, "zorv-installer.exe"), "RCDATA_RAW/101=" + payload,
                    "#3/1=" + os.path.join(work, "icon"), "#14/102=" + os.path.join(work, "group")], check=True)
    os.remove(payload)
    return installer


def answer_failure_boxes(session, process, timeout=1800):
    """Waits for the installer to end, pressing OK in any box it shows (a failure message)."""
    deadline = time.monotonic() + timeout
    while process.poll() is None:
        if time.monotonic() > deadline:
            raise RuntimeError("the installer did not end within %d s" % timeout)
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % harness.CAPTION],
                               env=session.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        for window in found.stdout.split():
            session.press(window, harness.OK)
        time.sleep(0.5)


def main(arch, sizes):
    tree_dir = os.path.join(ROOT, TREES[arch])
    kit_dir = os.path.join(ROOT, "build", "host", "share", "zorvana", arch)
    app_dir = os.path.join(tree_dir, "sample", "app")
    work = os.path.join(ROOT, "build", "bench", "payload_limit")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    stream = os.path.join(work, "sample.bz2")
    star = subprocess.run([os.path.join(ROOT, "build", "host", "star"), "pack", "-", "--stamp", "0", "-C", app_dir, "."],
                          stdout=subprocess.PIPE, check=True).stdout
    with open(stream, "wb") as f:
        f.write(subprocess.run(["bzip2", "-9"], input=star, stdout=subprocess.PIPE, check=True).stdout)
    app = harness.tree(app_dir)
    template = os.path.join(work, "template")
    harness.make_template(template, os.path.join(work, "logs"))
    print("%-6s %14s %14s %7s %8s  %s" % ("arch", "payload", "image", "status", "seconds", "result"), flush=True)
    try:
        for size in sizes:
            t0 = time.monotonic()
            installer = write_installer(kit_dir, stream, size, os.path.join(work, "write"))
            image = os.path.getsize(installer)
            write_s = time.monotonic() - t0
            session = harness.Session(template, os.path.join(work, "session"), arch)
            try:
                downloads = session.unix_path(DOWNLOADS)
                os.makedirs(downloads, exist_ok=True)
                os.rename(installer, os.path.join(downloads, "setup.exe"))
                t0 = time.monotonic()
                process = session.start([DOWNLOADS + r"\setup.exe", "-s", "-r", "-d", TARGET], cwd=downloads,
                                        relay=True)
                answer_failure_boxes(session, process)
                run_s = time.monotonic() - t0
                status, out = process.returncode, harness.output(process)
                installed = harness.tree(session.unix_path(TARGET))
                left = sorted(n for n in os.listdir(downloads) if n.startswith("tmp_inst."))
            finally:
                session.close()
                session.remove()
            if installed == app:
                result = "installed the sample byte for byte"
            elif not installed:
                result = "installed nothing"
            else:
                result = "installed %d of %d files, or others" % (len(installed), len(app))
            if left:
                result += "; left " + " ".join(left)
            boxes = harness.message_boxes(out)
            if boxes:
                result += "; boxes: " + " / ".join('"%s"' % text for text, _, _, _ in boxes)
            complaint = [line for line in out.splitlines() if ":err:" in line or not line.startswith("0", 0)][-1:]
            if complaint:
                result += "; Wine says: " + complaint[0].strip()
            print("%-6s %14d %14d %7d %8.1f  %s (written in %.0f s)"
                  % (arch, size, image, status, run_s, result, write_s), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in TREES:
        sys.exit(__doc__)
    main(sys.argv[1], [int(float(s)) for s in sys.argv[2:]])
