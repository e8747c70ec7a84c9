"""The archive reader's Windows build under Wine, compared over many archives with its Linux build.

The body copy takes stretches of bytes straight out of the seam's file buffer (os_peek and os_skip,
platform/os_buffered.cpp), which is filled through each system's own reads, and only a run of
the Windows build checks those against Linux's. zorv-extract-all (extract_all.cpp) extracts every archive in one process, once as built
for Linux and once as built for Windows under Wine: the printed results and the extracted trees
must be the same byte for byte, and the generated archives must give back exactly the files they
were packed from.

The archives are the golden vectors of tests/data/star and archives packed by `star pack`, LF and
CR LF. The seam fills its buffer 64 KiB at a time from the start of the file, so every buffer
edge of an archive is known in advance: the generated archives are laid out so that body ends,
body starts and line breaks fall at each offset around an edge where a stretch, a boundary check
or the short read after it could be cut. Their bodies come from a fixed seed and are made of what the framing rule looks at: CR,
LF and CR LF, lines of 61 to 63 bytes (the pending run holds 63), runs of '-' and beginnings of
the boundary magic, never the whole magic.

CTest runs it once for each Windows build, i686 (skipped where the machine does not run 32-bit
programs) and x86_64, and gives the inputs in the environment: ZORV_WINE_ARCH, ZORV_WINE_TEMPLATE
and ZORV_WINE_WORK (as in wine_e2e.py), ZORV_STAR (the host star tool), ZORV_EXTRACT_ALL
(zorv-extract-all built for Linux), ZORV_WIN_DIR (the Windows tree of that architecture, which
holds zorv-extract-all.exe) and ZORV_STAR_DATA (the golden vectors).
"""
import glob
import os
import random
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

ENV = os.environ

BUFFER = 1 << 16  # the seam's file buffer (platform/os_buffered.cpp)
MAGIC = b"-----SIMPLE-TAR--MEZTIL--BOUNDARY--"
FRAME_LINE = 60  # a boundary or separator line without its line break
STAMP = "1215625293"
SEED = 20080709
MIN_BODY = BUFFER - 196  # an anchored body then reaches the first or second edge after its start
LETTERS = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;=_"

# Offsets from a buffer edge to anchor a body's end or start at. A boundary check needs the line
# break (one or two bytes) and 60 characters, and at_magic reads four more, so everything from
# 70 bytes before an edge to just after it can split one of them.
EDGE_OFFSETS = range(-70, 4)

BREAKS = (b"\n", b"\r\n", b"\r", b"\r\r\n", b"\n\r")
LINE_LENGTHS = (0, 1, 2, 33, 34, 35, 59, 60, 61, 61, 62, 62, 63, 63, 64, 65, 126, 127, 300)


def text(rng, n):
    return bytes(rng.choices(LETTERS, k=n))


def near_miss(rng):
    """The magic with one byte changed: it matches up to that byte."""
    m = bytearray(MAGIC)
    m[rng.randrange(len(m))] = ord("+")
    return bytes(m)


def filler(rng, n):
    """n bytes of lines of the lengths that matter to the pending run, dashes and near magics."""
    out = bytearray()
    while len(out) < n:
        r = rng.random()
        if r < 0.45:
            out += text(rng, rng.choice(LINE_LENGTHS)) + rng.choice(BREAKS)
        elif r < 0.55:
            out += b"-" * rng.randint(1, 70)
        elif r < 0.65:
            out += rng.choice(BREAKS[:2]) + MAGIC[:rng.randint(1, 34)]
        elif r < 0.75:
            out += rng.choice(BREAKS[:2]) + near_miss(rng)
        else:
            out += rng.randbytes(rng.randint(1, 200))
    return out[:n]


def without_magic(data):
    """The body with every whole magic broken at its last byte (a '+' can start no new one)."""
    while True:
        at = data.find(MAGIC)
        if at < 0:
            return data
        data[at + len(MAGIC) - 1] = ord("+")


def patterns(rng):
    """What a body ends with, begins with, or holds across an edge inside it."""
    lines = {n: text(rng, n) for n in (61, 62, 63)}
    ends = [b"", b"\r", b"\n", b"\r\n", b"\r\r", b"\n\r", b"\n" + lines[61], b"\n" + lines[62],
            b"\n" + lines[63], b"\r\n" + lines[61] + b"\r", b"\n" + MAGIC[:34], b"\r\n" + MAGIC[:34],
            b"\n" + b"-" * 60, b"-" * 64]
    starts = [b"\n", b"\r\n", b"\r", b"\r\r\n", MAGIC[:34], b"\n" + MAGIC[:34], b"\r\n" + MAGIC[:34],
              b"-" * 63, lines[61] + b"\r\n", lines[62] + b"\n", lines[63] + b"\r\n", b"x"]
    middles = [b"\n", b"\r\n", b"\r", b"\r\r\n", b"\n" + MAGIC[:34] + b"+", b"\r\n" + MAGIC[:34] + b"\r\n",
               b"\n" + lines[61] + b"\r\n", b"\n" + lines[62] + b"\n", b"\r\n" + lines[63] + b"\n",
               b"\n" + b"-" * 70, b"\r\n" + near_miss(rng)]
    return ends, starts, middles


class Entry:
    """One file of a generated archive: its body's size comes from its anchor.

    ("size", n): n bytes. ("end", k): the body ends k bytes from a buffer edge. ("next_start", k):
    the next entry's body starts k bytes from a buffer edge. An anchored body is at least
    MIN_BODY long.
    """

    def __init__(self, name, anchor, head=b"", tail=b""):
        self.name, self.anchor, self.head, self.tail = name, anchor, head, tail
        self.start = self.size = self.body = None


def header_length(name, lb):
    return len(b"nombre=") + len(name.encode()) + 2 * len(lb) + FRAME_LINE


def lay_out(entries, lb):
    """Sets each entry's start and size as `star pack` will lay them out; the planned magic offsets."""
    pos = FRAME_LINE + len(lb)
    magics = [0]
    for i, e in enumerate(entries):
        e.start = pos + header_length(e.name, lb)
        kind, k = e.anchor
        if kind == "size":
            e.size = k
        else:
            # From the body's end to the anchored point.
            extra = 0 if kind == "end" else 2 * len(lb) + FRAME_LINE + header_length(entries[i + 1].name, lb)
            edge = -(-(e.start + MIN_BODY + extra - k) // BUFFER) * BUFFER
            e.size = edge + k - extra - e.start
        end = e.start + e.size
        magics.append(end + len(lb))
        pos = end + 2 * len(lb) + FRAME_LINE
    return magics


def fill(rng, entries, middles):
    """The bodies: filler, a pattern across every edge inside, the entry's own start and end."""
    for e in entries:
        data = bytearray(filler(rng, e.size))
        first_edge = -(-(e.start + 1) // BUFFER) * BUFFER
        for edge in range(first_edge, e.start + e.size, BUFFER):
            pattern = rng.choice(middles)
            at = edge - e.start - rng.randrange(len(pattern) + 64)
            for j, byte in enumerate(pattern):
                if 0 <= at + j < e.size:
                    data[at + j] = byte
        head = e.head[:e.size]
        data[:len(head)] = head
        tail = e.tail[-e.size:] if e.size else b""
        data[e.size - len(tail):] = tail
        e.body = bytes(without_magic(data))


def name(j):
    # Now and then a name with folders, so that directory creation runs too; the fixed-width
    # number keeps the packer's sorted order the order of the plan.
    return "%04d/sub/f.bin" % j if j % 10 == 9 else "%04d.bin" % j


def generated_archives(rng):
    """[(label, line break, [Entry])]: the edge layouts and the sizes, for LF and CR LF."""
    ends, starts, middles = patterns(rng)
    archives = []
    for lb_name, lb in (("lf", b"\n"), ("crlf", b"\r\n")):
        layouts = []
        # Body ends at every offset around an edge, once for every way a body can end.
        for t, tail in enumerate(ends):
            entries = [Entry(name(j), ("end", k), rng.choice(starts), tail) for j, k in enumerate(EDGE_OFFSETS)]
            layouts.append(("ends-%02d" % t, entries))
        # Body starts at every offset around an edge (the header's last line read ends there),
        # twice with different beginnings; every fourth anchored body is empty.
        entries = []
        for n, k in enumerate(list(EDGE_OFFSETS) * 2):
            entries.append(Entry(name(len(entries)), ("next_start", k), rng.choice(starts), rng.choice(ends)))
            if n % 4 == 0:
                entries.append(Entry(name(len(entries)), ("size", 0)))
        entries.append(Entry(name(len(entries)), ("size", 100), rng.choice(starts), rng.choice(ends)))
        layouts.append(("starts", entries))
        # Bodies around the sizes of one and two buffers, of the reader's output buffer and beyond.
        for size in (4096, 8192, 65536, 70000):
            entries = [Entry(name(j), ("size", size + d), rng.choice(starts), rng.choice(ends))
                       for j, d in enumerate(range(-3, 4))]
            layouts.append(("size-%d" % size, entries))
        layouts.append(("uniform", uniform_entries(rng)))
        for label, entries in layouts:
            lay_out(entries, lb)
            fill(rng, [e for e in entries if e.body is None], middles)
            archives.append(("%s-%s" % (lb_name, label), lb, entries))
    return archives


def uniform_entries(rng):
    """Bodies made of one thing repeated: every byte a line break, a dash or the end of a run."""
    units = [b"\n", b"\r\n", b"\r", b"-", b"\n\r", text(rng, 61) + b"\r\n", text(rng, 62) + b"\n",
             text(rng, 63) + b"\n", text(rng, 64) + b"\r\n", b"\n" + MAGIC[:34], b"\r\n" + near_miss(rng)]
    entries = []
    for size in (8192, 70000):
        for unit in units:
            e = Entry(name(len(entries)), ("size", size))
            e.body = (unit * (size // len(unit) + 1))[:size]
            entries.append(e)
        e = Entry(name(len(entries)), ("size", size))
        e.body = bytes(without_magic(bytearray(rng.randbytes(size))))
        entries.append(e)
    return entries


def tree(root):
    """{path relative to root: bytes, or None for a folder}; {} when root does not exist."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = None
        for f in files:
            path = os.path.join(folder, f)
            with open(path, "rb") as fh:
                found[os.path.relpath(path, root)] = fh.read()
    return found


def differences(expected, actual):
    """Short descriptions of how two trees differ (whole bodies would drown the report)."""
    out = []
    for path in sorted(set(expected) | set(actual)):
        a, b = expected.get(path, "absent"), actual.get(path, "absent")
        if a == b:
            continue
        if isinstance(a, bytes) and isinstance(b, bytes):
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            out.append("%s: %d and %d bytes, first difference at %d: %r / %r"
                       % (path, len(a), len(b), at, a[max(0, at - 8):at + 8], b[max(0, at - 8):at + 8]))
        else:
            out.append("%s: %s / %s" % (path, what(a), what(b)))
    return out


def what(item):
    return "folder" if item is None else "file" if isinstance(item, bytes) else item


def magic_offsets(data):
    offsets, at = [], data.find(MAGIC)
    while at >= 0:
        offsets.append(at)
        at = data.find(MAGIC, at + 1)
    return offsets


def results(text):
    """The "i result" lines of a zorv-extract-all run, in order (Wine may add lines of its own)."""
    return [(int(m.group(1)), int(m.group(2))) for m in re.finditer(r"^(\d+) (-?\d+)\r?$", text, re.M)]


class ReaderUnderWine(unittest.TestCase):
    maxDiff = 3000  # the first few differing files of an archive; the rest would bury the others

    def setUp(self):
        self.session = harness.open_session(self, ENV["ZORV_WINE_ARCH"])
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.temp = temp.name

    def pack(self, path, lb, entries):
        folder = os.path.join(self.temp, "bodies")
        shutil.rmtree(folder, ignore_errors=True)
        for e in entries:
            os.makedirs(os.path.dirname(os.path.join(folder, e.name)), exist_ok=True)
            with open(os.path.join(folder, e.name), "wb") as f:
                f.write(e.body)
        args = [ENV["ZORV_STAR"], "pack", path, "--stamp", STAMP] + (["--crlf"] if lb == b"\r\n" else [])
        subprocess.run(args + ["-C", folder, "."], check=True)

    def test_windows_build_extracts_as_linux_build(self):
        archives_dir = self.session.unix_path(r"C:\reader\archives")
        os.makedirs(archives_dir)
        names, expected = [], {}
        for path in sorted(glob.glob(os.path.join(ENV["ZORV_STAR_DATA"], "*.star"))):
            names.append("golden-" + os.path.basename(path))
            shutil.copyfile(path, os.path.join(archives_dir, names[-1]))
        self.assertGreater(len(names), 20, "the golden vectors are missing")
        for label, lb, entries in generated_archives(random.Random(SEED)):
            names.append(label + ".star")
            path = os.path.join(archives_dir, names[-1])
            self.pack(path, lb, entries)
            with open(path, "rb") as f:
                self.assertEqual(magic_offsets(f.read()), lay_out(entries, lb),
                                 "%s: star pack laid it out otherwise than planned, so its edges are missed" % label)
            expected[len(names)] = {e.name: e.body for e in entries}
            for e in entries:
                folder = os.path.dirname(e.name)
                while folder:
                    expected[len(names)][folder] = None
                    folder = os.path.dirname(folder)

        host_out = os.path.join(self.temp, "host")
        host = subprocess.run([ENV["ZORV_EXTRACT_ALL"], host_out] + [os.path.join(archives_dir, n) for n in names],
                              stdout=subprocess.PIPE, check=True, text=True, timeout=120)
        host_results = results(host.stdout)
        self.assertEqual([i for i, _ in host_results], list(range(1, len(names) + 1)))

        exe = os.path.join(ENV["ZORV_WIN_DIR"], "zorv-extract-all.exe")
        # A crash would start Wine's debugger, which waits on the display for someone to close it;
        # without it the run ends at once with the fault in its output.
        no_debugger = dict(WINEDLLOVERRIDES=self.session.env["WINEDLLOVERRIDES"] + ";winedbg.exe=d")
        status, text = self.session.run([exe, r"C:\reader\out"] + [r"C:\reader\archives" + "\\" + n for n in names],
                                        timeout=120, extra_env=no_debugger)
        self.assertEqual(status, 0, "the Windows build failed after these lines:\n" + text[-2000:])
        wine_results = results(text)
        self.assertEqual([i for i, _ in wine_results], [i for i, _ in host_results], text[-2000:])

        # Archive by archive, so that one report names every archive the builds disagree on.
        wine_out = self.session.unix_path(r"C:\reader\out")
        for i, archive in enumerate(names, 1):
            with self.subTest(archive=archive):
                linux_tree = tree(os.path.join(host_out, str(i)))
                self.assertEqual((wine_results[i - 1][1], differences(linux_tree, tree(os.path.join(wine_out, str(i))))),
                                 (host_results[i - 1][1], []), "the Windows build's result and files against Linux's")
                if i in expected:
                    self.assertEqual((host_results[i - 1][1], differences(expected[i], linux_tree)), (0, []),
                                     "the Linux build's result and files against the packed ones")


if __name__ == "__main__":
    unittest.main()
