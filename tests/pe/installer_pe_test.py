"""The built Windows installers as files: headers, imports and resources, for i686 and x86_64.

CTest gives the inputs in the environment: ZORV_INSTALLER_I686 and ZORV_INSTALLER_X86_64 (the
installers packed from the sample application with SOURCE_DATE_EPOCH), ZORV_APP_DIR_I686 and
ZORV_APP_DIR_X86_64 (those folders), ZORV_WIN_DIR_I686 and ZORV_WIN_DIR_X86_64 (the Windows build
trees: the kit's program, and link-with-resources.sh, which links an installer with resources the
way installers were made before the packer wrote them), ZORV_PACK, ZORV_STAR and ZORV_ICON (the
default icon).
"""
import bz2
import itertools
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

import pe_image

ENV = os.environ

# (arch, machine, optional header magic)
ARCHES = (
    ("i686", pe_image.MACHINE_I386, 0x10B),
    ("x86_64", pe_image.MACHINE_AMD64, 0x20B),
)

# Present on every Windows: nothing of the compiler, libbzip2 or anything else is needed beside the
# installer.
SYSTEM_LIBRARIES = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}

# Looked up at run time instead: an import of either would keep the installer from starting at all
# on a Windows that lacks it.
LOOKED_UP = {"SetDefaultDllDirectories", "SetDllDirectoryA"}

ENGLISH_US = 1033
EXECUTABLE_IMAGE, LARGE_ADDRESS_AWARE, MACHINE_32BIT, IS_DLL = 0x0002, 0x0020, 0x0100, 0x2000


def load(path):
    with open(path, "rb") as f:
        return pe_image.Image(f.read())


def icon_image(ico):
    """The one image of an .ico file."""
    count = struct.unpack_from("<H", ico, 4)[0]
    assert count == 1, count
    size, offset = struct.unpack_from("<II", ico, 6 + 8)
    return ico[offset:offset + size]


def align(value, to):
    return (value + to - 1) // to * to


def star_archive(app_dir):
    """The archive the payload must hold: the folder packed by the star tool with the same stamp."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "app.star")
        subprocess.run([ENV["ZORV_STAR"], "pack", out, "-C", app_dir, "."], check=True)
        with open(out, "rb") as f:
            return f.read()


class InstallerImage(unittest.TestCase):
    def image(self, arch):
        return load(ENV["ZORV_INSTALLER_" + arch.upper()])

    def test_headers(self):
        for arch, machine, magic in ARCHES:
            with self.subTest(arch=arch):
                im = self.image(arch)
                self.assertEqual((im.machine, im.magic), (machine, magic))
                self.assertEqual(im.subsystem, pe_image.SUBSYSTEM_WINDOWS_GUI)
                self.assertEqual(im.characteristics & (EXECUTABLE_IMAGE | IS_DLL), EXECUTABLE_IMAGE)
                if arch == "i686":
                    self.assertTrue(im.characteristics & MACHINE_32BIT)
                self.assertEqual(im.timestamp, 0, "a link time stamp makes two packs of one folder differ")

    def test_imports_are_system_libraries_only(self):
        for arch, _, _ in ARCHES:
            with self.subTest(arch=arch):
                imports = {name.lower(): functions for name, functions in self.image(arch).imports().items()}
                self.assertLessEqual(set(imports), SYSTEM_LIBRARIES)
                self.assertIn("kernel32.dll", imports)
                self.assertEqual(LOOKED_UP & set(imports["kernel32.dll"]), set())

    def test_resources_are_payload_and_icon_only(self):
        icon = icon_image(open(ENV["ZORV_ICON"], "rb").read())
        for arch, _, _ in ARCHES:
            with self.subTest(arch=arch):
                resources = {(t, n, lang): data for t, n, lang, data in self.image(arch).resources()}
                self.assertEqual(set(resources), {("RCDATA_RAW", 101, ENGLISH_US), (pe_image.RT_ICON, 1, ENGLISH_US),
                                                  (pe_image.RT_GROUP_ICON, 102, ENGLISH_US)})
                payload = resources[("RCDATA_RAW", 101, ENGLISH_US)]
                self.assertEqual(payload[:4], b"BZh9")
                self.assertEqual(bz2.decompress(payload), star_archive(ENV["ZORV_APP_DIR_" + arch.upper()]))
                self.assertEqual(resources[(pe_image.RT_ICON, 1, ENGLISH_US)], icon)
                group = resources[(pe_image.RT_GROUP_ICON, 102, ENGLISH_US)]
                self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 1))
                self.assertEqual(struct.unpack_from("<H", group, 6 + 12)[0], 1, "the group must name icon 1")

    def test_settings_and_icon_of_ones_own(self):
        """--settings adds RCDATA_RAW/103 with the file's bytes; --icon replaces icon 1, nothing more."""
        ico = bytearray(open(ENV["ZORV_ICON"], "rb").read())
        ico[-200] ^= 0xFF  # a changed pixel: a different icon of the same shape
        settings = b"version=1.2\r\nservidor=zorvana.example\r\n"
        with tempfile.TemporaryDirectory() as tmp:
            paths = {name: os.path.join(tmp, name) for name in ("own.ico", "settings.txt", "setup.exe")}
            for name, data in (("own.ico", ico), ("settings.txt", settings)):
                with open(paths[name], "wb") as f:
                    f.write(data)
            for arch, _, _ in ARCHES:
                with self.subTest(arch=arch):
                    subprocess.run([ENV["ZORV_PACK"], ENV["ZORV_APP_DIR_" + arch.upper()], "-o", paths["setup.exe"],
                                    "--arch", arch, "--settings", paths["settings.txt"], "--icon", paths["own.ico"]],
                                   check=True)
                    resources = {(t, n, lang): data for t, n, lang, data in load(paths["setup.exe"]).resources()}
                    self.assertEqual(set(resources), {("RCDATA_RAW", 101, ENGLISH_US), ("RCDATA_RAW", 103, ENGLISH_US),
                                                      (pe_image.RT_ICON, 1, ENGLISH_US),
                                                      (pe_image.RT_GROUP_ICON, 102, ENGLISH_US)})
                    self.assertEqual(resources[("RCDATA_RAW", 103, ENGLISH_US)], settings)
                    self.assertEqual(resources[(pe_image.RT_ICON, 1, ENGLISH_US)], icon_image(bytes(ico)))

    def test_headers_the_packer_changes(self):
        """Against the kit's program: one section more, after all others, with the image size, the
        initialised data, the resource entry and the checksum (Windows' sum, which the linker wrote
        into the program too) to match; every other byte as it was."""
        for arch, _, _ in ARCHES:
            with self.subTest(arch=arch):
                bare = load(os.path.join(ENV["ZORV_WIN_DIR_" + arch.upper()], "kit", "zorv-installer.exe"))
                packed = self.image(arch)
                self.assertEqual(bare.field(bare.checksum_field), bare.checksum(), "the linker's checksum")
                self.assertEqual(packed.field(packed.checksum_field), packed.checksum())
                self.assertEqual(packed.sections[:-1], bare.sections)
                name, rva, _, raw_at, raw_size = packed.sections[-1]
                end = max(align(start + size, bare.section_alignment) for _, start, size, _, _ in bare.sections)
                self.assertEqual((name, rva, raw_at), (".rsrc", end, align(len(bare.data), 512)))
                self.assertEqual(len(packed.data), raw_at + raw_size)
                self.assertEqual(packed.directories[2][0], rva)
                self.assertEqual(packed.field(packed.image_size_field),
                                 align(rva + packed.directories[2][1], bare.section_alignment))
                self.assertEqual(packed.field(packed.initialized_data_field),
                                 bare.field(bare.initialized_data_field) + raw_size)
                expected = bytearray(bare.data)
                for at, size in ((bare.sections_field, 2), (bare.initialized_data_field, 4), (bare.image_size_field, 4),
                                 (bare.checksum_field, 4), (bare.directories_at + 16, 8),
                                 (bare.section_table + 40 * len(bare.sections), 40)):
                    expected[at:at + size] = packed.data[at:at + size]
                self.assertEqual(packed.data[:raw_at], bytes(expected).ljust(raw_at, b"\0"))

    def test_resources_of_4_gib_are_refused(self):
        """Resources of 4 GiB or more cannot be addressed in a Windows image: refused at once, with
        nothing written (the payload a sparse file, so that nothing of it is read)."""
        with tempfile.TemporaryDirectory() as tmp:
            big, out = os.path.join(tmp, "big"), os.path.join(tmp, "out.exe")
            with open(big, "wb") as f:
                f.truncate(4 << 30)
            kit = os.path.join(ENV["ZORV_WIN_DIR_X86_64"], "kit", "zorv-installer.exe")
            run = subprocess.run([ENV["ZORV_RESIMAGE"], out, kit, "RCDATA_RAW/101=" + big], capture_output=True,
                                 text=True, timeout=60)
            self.assertEqual((run.returncode, run.stderr.strip()),
                             (1, "zorv-resimage: the resources do not fit a Windows image (4 GiB at most)"))
            self.assertFalse(os.path.exists(out))

    def test_resource_table_as_linked(self):
        """The same types, names, languages, bytes and order as an installer linked with the same
        payload, settings and icon."""
        for (arch, _, _), settings in itertools.product(ARCHES, (None, b"clave=valor\r\n")):
            with self.subTest(arch=arch, settings=settings), tempfile.TemporaryDirectory() as tmp:
                packed = os.path.join(tmp, "packed.exe")
                pack = [ENV["ZORV_PACK"], ENV["ZORV_APP_DIR_" + arch.upper()], "-o", packed, "--arch", arch]
                if settings:
                    with open(os.path.join(tmp, "settings.txt"), "wb") as f:
                        f.write(settings)
                    pack += ["--settings", os.path.join(tmp, "settings.txt")]
                subprocess.run(pack, check=True)
                image = load(packed)
                with open(os.path.join(tmp, "payload.bz2"), "wb") as f:
                    f.write(dict(((t, n), d) for t, n, _, d in image.resources())[("RCDATA_RAW", 101)])
                shutil.copyfile(ENV["ZORV_ICON"], os.path.join(tmp, "icon.ico"))
                subprocess.run([os.path.join(ENV["ZORV_WIN_DIR_" + arch.upper()], "link-with-resources.sh")] +
                               (["-DZORV_WITH_SETTINGS"] if settings else []), cwd=tmp, check=True)
                self.assertEqual(image.resources(), load(os.path.join(tmp, "linked.exe")).resources())


if __name__ == "__main__":
    unittest.main()
