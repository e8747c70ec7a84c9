"""Reads the parts of a Windows executable that the installer's tests check: headers, imports, resources.

Only what a linked mingw-w64 image holds is handled (PE32 and PE32+, no bound or delayed imports);
anything malformed raises ValueError, which fails the test that read it.
"""
import struct

MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
SUBSYSTEM_WINDOWS_GUI = 2
RT_ICON = 3
RT_GROUP_ICON = 14


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self._u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.sections_field = pe + 6
        self.magic = self._u16(opt)
        if self.magic not in (0x10B, 0x20B):
            raise ValueError("unknown optional header magic %#x" % self.magic)
        self.entry_rva = self._u32(opt + 16)
        # The fields that adding a section changes, by their offsets in the file.
        self.initialized_data_field, self.image_size_field, self.checksum_field = opt + 8, opt + 56, opt + 64
        self.section_alignment = self._u32(opt + 32)
        self.subsystem = self._u16(opt + 68)
        self.dll_characteristics = self._u16(opt + 70)
        dirs = opt + (96 if self.magic == 0x10B else 112)
        count = self._u32(dirs - 4)
        self.directories_at = dirs
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(count)]
        self.sections = []
        table = self.section_table = opt + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size), raw_at, raw_size))

    def _u16(self, at):
        return struct.unpack_from("<H", self.data, at)[0]

    def _u32(self, at):
        return struct.unpack_from("<I", self.data, at)[0]

    def field(self, at):
        return self._u32(at)

    def checksum(self):
        """The image checksum as Windows computes it: 16-bit words summed with the carries folded
        back in, the checksum field counted as zero, plus the file's length."""
        data = bytearray(self.data)
        data[self.checksum_field:self.checksum_field + 4] = bytes(4)
        if len(data) % 2:
            data.append(0)
        total = sum(struct.unpack("<%dH" % (len(data) // 2), data))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def offset(self, rva):
        """The file offset of a virtual address that lies in a section's stored bytes."""
        for _, start, size, raw_at, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise ValueError("address %#x is not stored in the file" % rva)
                return raw_at + rva - start
        raise ValueError("address %#x is in no section" % rva)

    def _text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        """{library name: [function names]} of the import directory, names as stored."""
        rva, size = self.directories[1]
        result = {}
        at = self.offset(rva)
        pointer = 8 if self.magic == 0x20B else 4
        ordinal_flag = 1 << (8 * pointer - 1)
        while True:
            lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", self.data, at)
            if name_rva == 0:
                return result
            functions = []
            t = self.offset(lookup or thunks)
            while True:
                entry = struct.unpack_from("<Q" if pointer == 8 else "<I", self.data, t)[0]
                if entry == 0:
                    break
                functions.append("#%d" % (entry & 0xFFFF) if entry & ordinal_flag else self._text(entry + 2))
                t += pointer
            result[self._text(name_rva)] = functions
            at += 20

    def resources(self):
        """[(type, name, language, bytes)]: type and name are ints, or strings for named ones."""
        return [place[:4] for place in self._resource_places()]

    def resource_offset(self, type_key, name_key):
        """The file offset and size of one resource's data."""
        for t, n, _, data, at in self._resource_places():
            if t == type_key and n == name_key:
                return at, len(data)
        raise KeyError((type_key, name_key))

    def _resource_places(self):
        rva, _ = self.directories[2]
        if rva == 0:
            return []
        base = self.offset(rva)

        def entries(table):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                key, child = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    key = self.data[at + 2:at + 2 + 2 * self._u16(at)].decode("utf-16-le")
                yield key, child

        places = []
        for type_key, type_child in entries(0):
            for name_key, name_child in entries(type_child & 0x7FFFFFFF):
                for lang, leaf in entries(name_child & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise ValueError("a fourth level in the resource directory")
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    at = self.offset(data_rva)
                    places.append((type_key, name_key, lang, self.data[at:at + size], at))
        return places


if __name__ == "__main__":
    # pe_image.py FILE...: what the tests read, for a person to look at.
    # pe_image.py --extract TYPE/ID FILE: one resource's bytes on standard output.
    import sys
    if len(sys.argv) == 4 and sys.argv[1] == "--extract":
        kind, _, ident = sys.argv[2].partition("/")
        with open(sys.argv[3], "rb") as f:
            image = Image(f.read())
        at, size = image.resource_offset(int(kind) if kind.isdigit() else kind, int(ident))
        sys.stdout.buffer.write(image.data[at:at + size])
        sys.exit(0)
    machines = {MACHINE_I386: "i386 (32-bit)", MACHINE_AMD64: "x86-64"}
    types = {RT_ICON: "ICON", RT_GROUP_ICON: "GROUP_ICON"}
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            im = Image(f.read())
        print("%s: %s, %s subsystem, time stamp %d" % (
            path, machines.get(im.machine, hex(im.machine)),
            "GUI" if im.subsystem == SUBSYSTEM_WINDOWS_GUI else "subsystem %d" % im.subsystem, im.timestamp))
        print("  imports: " + ", ".join(sorted(im.imports(), key=str.lower)))
        for t, n, lang, data in im.resources():
            print("  resource %s/%s language %d: %d bytes" % (types.get(t, t), n, lang, len(data)))
