"""The built Windows installers as files: headers, imports and resources, for i686 and x86_64.

CTest gives the inputs in the environment: ZORV_INSTALLER_I686 and ZORV_INSTALLER_X86_64 (the
installers packed from the sample application with SOURCE_DATE_EPOCH), ZORV_APP_DIR_I686 and
ZORV_APP_DIR_X86_64 (those folders), ZORV_PACK, ZORV_STAR and ZORV_ICON (the default icon).
"""
import bz2
import os
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


if __name__ == "__main__":
    unittest.main()
