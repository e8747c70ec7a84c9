# Deterministic executable-like file bodies for the archive benchmarks.
"""usage: gen_bodies.py set DIR TOTAL_BYTES   eight files, the largest about 40% of the total
       gen_bodies.py small DIR COUNT        COUNT files of 100 to 2000 bytes, 100 to a folder
       gen_bodies.py big FILE BYTES         one file, written in 16 MiB blocks

Same seed and sizes give the same bytes on every run, so timings stay comparable between
machines and commits."""
import hashlib
import os
import random
import sys

MAGIC = b"-----SIMPLE-TAR--MEZTIL--BOUNDARY--"
BLOCK = 16 << 20

# (name, share of the total in percent): an installer-shaped tree, subfolders included so that
# extraction also creates directories.
SET = [("zorv.exe", 40), ("zorvcore.dll", 20), ("lib/zorvnet.dll", 12), ("lib/render.dll", 10),
       ("lib/codecs/audio.dll", 8), ("data/assets.pak", 5), ("data/fonts.pak", 3), ("updater.exe", 2)]


def byte_table(rng):
    # Uniform random bytes go through this table. Zeros and 0xFF dominate machine code and
    # padding; CR, LF and '-' are kept rare but present, since the reader treats each line break
    # as a possible frame edge and '-' as a possible start of the magic.
    common = [0x48, 0x8B, 0x89, 0xE8, 0x24, 0x83, 0xC3, 0x4C, 0x74, 0x85]
    table = [0x00] * 64 + [0xFF] * 8 + [0x0A] * 2 + [0x0D] + [0x2D] + common * 3
    rest = [v for v in range(1, 255) if v not in (0x0A, 0x0D, 0x2D) and v not in common]
    table += rng.sample(rest, 256 - len(table))
    return bytes(table)


def block(rng, table, n):
    data = bytearray(rng.randbytes(n).translate(table))
    # Alignment padding: a zero run every few KiB, mostly short, sometimes a page or more.
    for _ in range(n // 4096):
        start = rng.randrange(n)
        length = min(int(rng.expovariate(1 / 300)) + 8, 8192)
        data[start:start + length] = bytes(len(data[start:start + length]))
    # Text sections: CR LF pairs, about one per 2 KiB.
    for _ in range(n // 2048):
        start = rng.randrange(max(n - 1, 1))
        data[start:start + 2] = b"\r\n"
    # A body must never hold the magic; random data will not, but make it a certainty. The final
    # zero stops the magic from forming across two blocks written back to back.
    while (at := data.find(MAGIC)) >= 0:
        data[at] = 0
    if data:
        data[-1] = 0
    return data


def write_file(path, size, seed):
    rng = random.Random(seed)
    table = byte_table(rng)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as out:
        while size > 0:
            n = min(size, BLOCK)
            out.write(block(rng, table, n))
            size -= n


def made_already(folder, what):
    """Whether folder holds what this generator made with these parameters (the benchmarks share
    their sets); if not, what it will hold is noted once it is made."""
    with open(__file__, "rb") as me:
        params = "%s gen=%s\n" % (what, hashlib.sha256(me.read()).hexdigest()[:16])
    stamp = folder.rstrip("/") + ".params"
    if os.path.exists(stamp) and open(stamp).read() == params:
        return lambda: None, True
    def note():
        with open(stamp, "w") as out:
            out.write(params)
    return note, False


def main(argv):
    if len(argv) == 4 and argv[1] == "set":
        total = int(argv[3])
        note, done = made_already(argv[2], "total=%d" % total)
        if done:
            return
        for i, (name, share) in enumerate(SET):
            write_file(os.path.join(argv[2], name), total * share // 100, seed=1000 + i)
        note()
    elif len(argv) == 4 and argv[1] == "small":
        count = int(argv[3])
        note, done = made_already(argv[2], "small=%d" % count)
        if done:
            return
        rng = random.Random(11)
        for i in range(count):
            write_file(os.path.join(argv[2], "m%03d" % (i // 100), "f%05d.dat" % i), rng.randrange(100, 2000), seed=i)
        write_file(os.path.join(argv[2], "zorv.exe"), 4096, seed=5)
        note()
    elif len(argv) == 4 and argv[1] == "big":
        write_file(argv[2], int(argv[3]), seed=7)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
