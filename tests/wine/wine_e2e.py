"""End-to-end tests of a Windows installer under Wine, each in its own prefix, display and wineserver.

CTest runs one test method per entry and architecture (see tests/installers.cmake): the delivered
i686 installer where the machine runs 32-bit programs (skipped, with the reason, where it does
not), and its x86_64 twin always. The inputs come in the environment: ZORV_WINE_ARCH (i686 or
x86_64), ZORV_WINE_TEMPLATE (the prefix template of this run), ZORV_WINE_WORK (a folder for the
sessions), ZORV_INSTALLER (the installer with the sample application), ZORV_APP_DIR (that
application's folder), ZORV_PACK (the packer), ZORV_WINDOWS_PACK (the packer built for
Windows, zorv-pack.exe, run by Wine's 64-bit loader), ZORV_WIN_DIR (the Windows build tree of that
architecture, for the test helpers) and ZORV_ARTIFACTS (where screenshots are kept).

The installer is run from a downloads folder that is also its current folder, as a user would.
"""
import bz2
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
import harness  # noqa: E402
import pe_image  # noqa: E402

CONSENT = "Desea instalar el sistema de Zorvana??"
EXTRACTION_FAILED = "No se pudo instalar debido a que el programa de instalacion esta fallado."
LAUNCH_FAILED = "No se pudo instalar debido a que el programa de instalacion esta fallado!"
QUESTION_BOX = 0x23  # MB_YESNOCANCEL | MB_ICONQUESTION
ERROR_BOX = 0x10     # MB_OK | MB_ICONERROR
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
FAILURE_STATUS = 255  # exit(-1) as the shell sees it

DOWNLOADS = r"C:\users\Public\Downloads"
REGISTRY_KEY = r"HKCU\Software\zorvdal"
DEFAULT_TARGET = r"C:\windows\zorvdal"
RECORD = "zorv-args.txt"  # what the sample application writes when started with "-i"

ENV = os.environ


tree = harness.tree


def wait_for_file(path, timeout=30):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise AssertionError("%s did not appear within %d s" % (path, timeout))
        time.sleep(0.1)
    time.sleep(0.2)  # written and closed by then: the record is a few short lines


class InstallerUnderWine(unittest.TestCase):
    def setUp(self):
        self.session = harness.open_session(self, ENV["ZORV_WINE_ARCH"])
        self.app = tree(ENV["ZORV_APP_DIR"])
        self.downloads = self.session.unix_path(DOWNLOADS)
        os.makedirs(self.downloads, exist_ok=True)

    # ---- helpers ----

    def place_installer(self, data=None, name="zorv-setup.exe"):
        """Puts an installer (the sample one unless data is given) into the downloads folder."""
        path = os.path.join(self.downloads, name)
        if data is None:
            shutil.copyfile(ENV["ZORV_INSTALLER"], path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        return DOWNLOADS + "\\" + name

    def start_installer(self, *args, installer=None):
        return self.session.start([installer or self.place_installer()] + list(args), cwd=self.downloads,
                                  relay=True)

    def answer_box(self, key, screenshot=None):
        """Presses key in the installer's box; first keeps a screenshot of it if one is named."""
        window = self.session.find_window(harness.CAPTION)
        colours = None
        if screenshot:
            os.makedirs(ENV["ZORV_ARTIFACTS"], exist_ok=True)
            path = os.path.join(ENV["ZORV_ARTIFACTS"], screenshot)
            # The window exists a moment before it is drawn: wait for more than the bare screen.
            deadline = time.monotonic() + 10
            while (colours is None or colours <= 2) and time.monotonic() < deadline:
                time.sleep(0.2)
                colours = self.session.screenshot(path)
        self.session.press(window, key)
        if screenshot:
            self.assertGreater(colours, 2, "the screenshot shows a blank screen")

    def finish(self, process, timeout=60):
        """The exit status and the message boxes the run showed."""
        process.wait(timeout)
        return process.returncode, harness.message_boxes(harness.output(process))

    def assert_no_temporary_files(self):
        self.assertEqual([n for n in os.listdir(self.downloads) if n.startswith("tmp_inst.")], [])

    def assert_registry(self, expected):
        """The value "Path" (or its absence, for None) by `reg query` now, then in the saved user.reg."""
        self.assertEqual(self.session.reg_query(REGISTRY_KEY, "Path"), (1, None) if expected is None else (0, expected))
        self.session.close()
        with open(os.path.join(self.session.prefix, "user.reg"), encoding="latin-1") as f:
            sections = f.read().split("\n[")
        section = [s.splitlines() for s in sections if s.startswith("Software\\\\zorvdal]")]
        if expected is None:
            self.assertEqual(section, [])
        else:
            self.assertEqual(len(section), 1)
            self.assertIn('"Path"="%s"' % expected.replace("\\", "\\\\"), section[0])

    def pack_variant(self, out_name, change):
        """An installer of the sample application as change(folder) leaves a copy of it: (its path
        in the downloads folder, the files it carries)."""
        with tempfile.TemporaryDirectory() as app_dir:
            shutil.copytree(ENV["ZORV_APP_DIR"], app_dir, dirs_exist_ok=True)
            change(app_dir)
            return self.place_installer(self.pack(app_dir, out_name), name=out_name), tree(app_dir)

    def mount_drive_t(self, size_kb):
        """A tmpfs of its own mapped as drive T:: its folder on this side."""
        disk = os.path.join(self.session.work_dir, "disk")
        os.makedirs(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kb, "tmpfs", disk]).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        os.symlink(disk, os.path.join(self.session.prefix, "dosdevices", "t:"))
        return disk

    def pack(self, app_dir, out_name):
        out = os.path.join(self.session.work_dir, out_name)
        subprocess.run([ENV["ZORV_PACK"], app_dir, "-o", out, "--arch", ENV["ZORV_WINE_ARCH"]], check=True)
        with open(out, "rb") as f:
            return f.read()

    # ---- the cases ----

    def test_sample_quits_on_close_request(self):
        """The sample application on its own: running, it quits when the close request arrives."""
        folder = self.session.unix_path(r"C:\Zorvana Muestra")
        shutil.copytree(ENV["ZORV_APP_DIR"], folder)
        app = self.session.start([r"C:\Zorvana Muestra\zorv.exe", "-i"])
        wait_for_file(os.path.join(folder, RECORD))
        time.sleep(1)
        self.assertIsNone(app.poll(), "the application ended before any close request")
        sender = os.path.join(ENV["ZORV_WIN_DIR"], "zorv-close-request.exe")
        self.assertEqual(self.session.run([sender])[0], 0)
        app.wait(10)
        self.assertEqual(app.returncode, 0)

    def test_install_into_a_long_target(self):
        """A target whose longest file path is 259 characters, Windows' limit: the change's own paths
        (tmp_inst.old\\journal) are longer, and must not keep it from installing as it always did."""
        longest = max(len(p) for p in self.app)
        target = "C:\\" + "\\".join(["L" * 60] * 3)
        target += "\\" + "l" * (259 - 1 - longest - len(target) - 1)
        self.assertEqual(len(target) + 1 + longest, 259)
        self.assertEqual(self.finish(self.start_installer("-s", "-r", "-d", target)), (0, []))
        self.assertEqual(tree(self.session.unix_path(target)), self.app)

    def test_silent_install_into_folder_with_spaces(self):
        target = r"C:\Program Files\Zorvana Prueba"
        status, boxes = self.finish(self.start_installer("-s", "-r", "-d", target))
        self.assertEqual((status, boxes), (0, []))
        self.assertEqual(tree(self.session.unix_path(target)), self.app)
        self.assert_no_temporary_files()
        self.assert_registry(target + r"\zorv.exe")

    def test_packed_by_the_windows_packer(self):
        """zorv-pack.exe given Windows paths (a drive letter, '\\') writes the Linux packer's installer
        byte for byte, and it installs."""
        app = "Z:" + os.path.abspath(ENV["ZORV_APP_DIR"]).replace("/", "\\")
        installer = DOWNLOADS + r"\zorv-setup.exe"
        status, text = self.session.run([ENV["ZORV_WINDOWS_PACK"], app, "-o", installer, "--arch", ENV["ZORV_WINE_ARCH"]],
                                        loader=harness.WINE)
        self.assertEqual(status, 0, text)
        with open(self.session.unix_path(installer), "rb") as ours, open(ENV["ZORV_INSTALLER"], "rb") as linux:
            self.assertTrue(ours.read() == linux.read(), "zorv-pack.exe wrote another installer than zorv-pack")
        target = r"C:\Program Files\Zorvana Prueba"
        status, boxes = self.finish(self.start_installer("-s", "-r", "-d", target, installer=installer))
        self.assertEqual((status, boxes), (0, []))
        self.assertEqual(tree(self.session.unix_path(target)), self.app)

    def test_names_beyond_ascii_install_as_written(self):
        """Names beyond ASCII, packed on Linux, install under Wine (code page 1252) as they were
        written, byte-exact; zorv-pack.exe, which lists the folder by its UTF-16 names, packs the
        same bytes."""
        app_dir = os.path.join(self.session.work_dir, "app")
        shutil.copytree(ENV["ZORV_APP_DIR"], app_dir)
        os.makedirs(os.path.join(app_dir, "datos"), exist_ok=True)
        for name, body in (("datos/año.txt", b"a\xf1o\r\n"), ("€uro.txt", bytes(range(256)))):
            with open(os.path.join(app_dir, name), "wb") as f:
                f.write(body)
        linux = self.pack(app_dir, "names.exe")
        installer = DOWNLOADS + r"\names.exe"
        status, text = self.session.run([ENV["ZORV_WINDOWS_PACK"], "Z:" + app_dir.replace("/", "\\"), "-o", installer,
                                         "--arch", ENV["ZORV_WINE_ARCH"]], loader=harness.WINE)
        self.assertEqual(status, 0, text)
        with open(self.session.unix_path(installer), "rb") as ours:
            self.assertTrue(ours.read() == linux, "zorv-pack.exe wrote another installer than zorv-pack")
        target = r"C:\Program Files\Zorvana Prueba"
        self.assertEqual(self.finish(self.start_installer("-s", "-r", "-d", target, installer=installer)), (0, []))
        installed = tree(self.session.unix_path(target))
        self.assertEqual(installed, tree(app_dir))
        self.assertIn(os.path.join("datos", "año.txt"), installed)

    def test_windows_packer_signs_without_a_command_interpreter(self):
        """zorv-pack.exe starts the signer (a stand-in that records its arguments) with its
        arguments as they are: paths in a folder named with '%PATH%', '&' and '^', which the command
        interpreter would read as its own, reach it whole."""
        def windows(path):
            return "Z:" + path.replace("/", "\\")
        folder, signer = (os.path.join(self.session.work_dir, n) for n in ("firma %PATH% & ^x", "signer"))
        os.makedirs(folder)
        os.makedirs(signer)
        shutil.copyfile(os.path.join(ENV["ZORV_WIN_DIR"], "zorv-fake-signer.exe"), os.path.join(signer, "osslsigncode.exe"))
        cert, key, password = (windows(os.path.join(folder, n)) for n in ("cert.pem", "key.pem", "clave.txt"))
        for name in ("cert.pem", "key.pem", "clave.txt"):
            open(os.path.join(folder, name), "w").close()
        log = os.path.join(self.session.work_dir, "signer.txt")
        status, text = self.session.run(
            [ENV["ZORV_WINDOWS_PACK"], windows(ENV["ZORV_APP_DIR"]), "-o", DOWNLOADS + r"\signed.exe", "--arch",
             ENV["ZORV_WINE_ARCH"], "--sign-cert", cert, "--sign-key", key, "--sign-password-file", password],
            loader=harness.WINE, extra_env=dict(WINEPATH=windows(signer), ZORV_SIGNER_LOG=windows(log)))
        self.assertEqual(status, 0, text)
        with open(log, encoding="latin-1") as f:
            sign = f.read().split("\n\n")[0].split("\n")[1:]
        self.assertEqual(sign, ["sign", "-certs", cert, "-key", key, "-readpass", password, "-h", "sha256", "-in",
                                "installer.exe", "-out", "signed.exe"])

    def test_consent_box(self):
        default = self.session.unix_path(DEFAULT_TARGET)
        for key, button, shot in ((harness.NO, IDNO, "consent-box.png"), (harness.CANCEL, IDCANCEL, None)):
            with self.subTest(answer=key):
                process = self.start_installer()
                self.answer_box(key, screenshot=shot)
                self.assertEqual(self.finish(process), (0, [(CONSENT, harness.CAPTION, QUESTION_BOX, button)]))
                self.assertFalse(os.path.exists(default))
                self.assertEqual(self.session.reg_query(REGISTRY_KEY, "Path"), (1, None))
                self.assert_no_temporary_files()

        process = self.start_installer()
        self.answer_box(harness.YES)
        # The installer's process is replaced by the application, so the shell sees it end with 0.
        self.assertEqual(self.finish(process), (0, [(CONSENT, harness.CAPTION, QUESTION_BOX, IDYES)]))
        wait_for_file(os.path.join(default, RECORD))
        installed = tree(default)
        record = installed.pop(RECORD)
        self.assertEqual(record.decode("latin-1").split("\n"), [DEFAULT_TARGET + r"\zorv.exe", "-i", ""])
        self.assertEqual(installed, self.app)
        self.assert_no_temporary_files()
        self.assert_registry(DEFAULT_TARGET + r"\zorv.exe")

    def test_close_request_ends_running_application(self):
        """A copy from an earlier installation runs while the installer replaces it and starts the new one.

        The folder has a space in it, so the launch also shows that argument zero arrives whole.
        """
        target = r"C:\Program Files\Zorvana"
        folder = self.session.unix_path(target)
        shutil.copytree(ENV["ZORV_APP_DIR"], folder)
        app = self.session.start([target + r"\zorv.exe", "-i"])
        record = os.path.join(folder, RECORD)
        wait_for_file(record)
        os.remove(record)  # the launched copy writes its own
        self.assertIsNone(app.poll(), "the application ended before the installer started")

        installer = self.start_installer("-s", "-d", target)
        while installer.poll() is None and app.poll() is None:
            time.sleep(0.05)
        self.assertIsNone(installer.poll(), "the installer ended while the application still ran")
        self.assertEqual(app.returncode, 0)
        self.assertEqual(self.finish(installer), (0, []))
        wait_for_file(record)
        installed = tree(folder)
        self.assertEqual(installed.pop(RECORD).decode("latin-1").split("\n"), [target + r"\zorv.exe", "-i", ""])
        self.assertEqual(installed, self.app)
        self.assert_registry(target + r"\zorv.exe")

    def test_damaged_installer(self):
        """One byte changed in the middle of the payload: the failure box with a full stop, nothing installed."""
        data = bytearray(open(ENV["ZORV_INSTALLER"], "rb").read())
        at, size = pe_image.Image(bytes(data)).resource_offset("RCDATA_RAW", 101)
        data[at + size // 2] ^= 0x55
        target = r"C:\Zorvana"
        process = self.start_installer("-s", "-d", target, installer=self.place_installer(bytes(data)))
        self.answer_box(harness.OK)
        self.assertEqual(self.finish(process), (FAILURE_STATUS, [(EXTRACTION_FAILED, harness.CAPTION, ERROR_BOX, IDOK)]))
        self.assertEqual(tree(self.session.unix_path(target)), {})
        self.assert_no_temporary_files()
        self.assert_registry(None)

    def test_failed_launch(self):
        """A payload whose zorv.exe is no program: installed and recorded, then the box with "!"."""
        with tempfile.TemporaryDirectory() as app_dir:
            with open(os.path.join(app_dir, "zorv.exe"), "wb") as f:
                f.write(b"esto no es un programa\r\n")
            with open(os.path.join(app_dir, "zorvcore.dll"), "wb") as f:
                f.write(b"tampoco una biblioteca\n")
            app = tree(app_dir)
            installer = self.place_installer(self.pack(app_dir, "not-a-program.exe"))
        target = r"C:\Zorvana Rota"
        process = self.start_installer("-s", "-d", target, installer=installer)
        self.answer_box(harness.OK)
        self.assertEqual(self.finish(process), (FAILURE_STATUS, [(LAUNCH_FAILED, harness.CAPTION, ERROR_BOX, IDOK)]))
        self.assertEqual(tree(self.session.unix_path(target)), app)
        self.assert_no_temporary_files()
        self.assert_registry(target + r"\zorv.exe")

    def place_earlier_version(self, folder):
        """An earlier installation in folder (a Unix path): every file of the application with
        other bytes, and a file of the user's; returns what it holds."""
        shutil.copytree(ENV["ZORV_APP_DIR"], folder)
        for path in tree(folder):
            with open(os.path.join(folder, path), "ab") as f:
                f.write(b"-- the earlier version\r\n")
        with open(os.path.join(folder, "mis notas.txt"), "wb") as f:
            f.write(b"the user's own file\r\n")
        return tree(folder)

    def start_holder(self, program, *args):
        """A copy of zorv-hold-file (program, a C: path) started with args, once it holds its file."""
        shutil.copyfile(os.path.join(ENV["ZORV_WIN_DIR"], "zorv-hold-file.exe"), self.session.unix_path(program))
        holder = self.session.start([program] + list(args))
        deadline = time.monotonic() + 30
        while "holding" not in harness.output(holder):
            self.assertIsNone(holder.poll(), harness.output(holder))
            self.assertLess(time.monotonic(), deadline, "the holder never held its file")
            time.sleep(0.1)
        return holder

    def assert_failed_upgrade(self, target, folder, earlier, installer=None):
        """The installer, run over earlier in target (folder on this side), shows message 2 and
        leaves earlier whole, every file under its own name."""
        process = self.start_installer("-s", "-r", "-d", target, installer=installer)
        self.answer_box(harness.OK)
        self.assertEqual(self.finish(process), (FAILURE_STATUS, [(EXTRACTION_FAILED, harness.CAPTION, ERROR_BOX, IDOK)]))
        self.assertEqual(tree(folder), earlier)
        self.assertEqual(os.listdir(folder), [n for n in os.listdir(folder) if not n.startswith("tmp_inst")])
        self.assert_no_temporary_files()
        self.assert_registry(None)

    def test_upgrade_with_a_file_held_open(self):
        """A file of the earlier version held open, sharing nothing, by another program: the upgrade
        fails with message 2, and the files it had replaced before it came to that one are put back,
        under their own names: the new version spells LEEME.txt as leeme.TXT."""
        target = r"C:\Program Files\Zorvana"
        folder = self.session.unix_path(target)
        earlier = self.place_earlier_version(folder)
        installer, _ = self.pack_variant("respelled.exe", lambda d: os.rename(os.path.join(d, "LEEME.txt"),
                                                                                os.path.join(d, "leeme.TXT")))
        self.start_holder(r"C:\zorv-hold-file.exe", target + r"\zorvwin.dll")
        self.assert_failed_upgrade(target, folder, earlier, installer)

    def test_names_that_cannot_stand_together(self):
        """Payloads that star and zorv-resimage can make, zorv-pack not: the sample application and a
        file eDATOS, which star sorts after the folder datos and before zorv.exe, renamed in the
        archive. Named DATOS, a file of the folder's name as Windows compares names: the
        installation is refused before its first step, with message 2, and leaves nothing, not even
        the target folder. Named ZORV.EXE, the program written twice: the first file is moved aside
        while the flushing threads may still hold it, the later body stays, and the run ends as any
        run."""
        rows = [
            (b"DATOS", (FAILURE_STATUS, [(EXTRACTION_FAILED, harness.CAPTION, ERROR_BOX, IDOK)]), None),
            (b"ZORV.EXE", (0, []), self.app),
        ]
        for n, (name, outcome, installed) in enumerate(rows):
            with self.subTest(name=name):
                target = r"C:\Program Files\Zorvana %d" % n
                folder = self.session.unix_path(target)
                with tempfile.TemporaryDirectory() as app_dir:
                    shutil.copytree(ENV["ZORV_APP_DIR"], app_dir, dirs_exist_ok=True)
                    with open(os.path.join(app_dir, "eDATOS"), "wb") as f:
                        f.write(b"a file\r\n")
                    archive = os.path.join(self.session.work_dir, "clash.star")
                    subprocess.run([ENV["ZORV_STAR"], "pack", archive, "-C", app_dir, "."], check=True)
                with open(archive, "rb") as f:
                    text = f.read().replace(b"nombre=eDATOS\n", b"nombre=" + name + b"\n")
                with open(archive + ".bz2", "wb") as f:
                    f.write(bz2.compress(text, 9))
                kit = os.path.join(ENV["ZORV_WIN_DIR"], "kit", "zorv-installer.exe")
                out = os.path.join(self.session.work_dir, "clash.exe")
                subprocess.run([ENV["ZORV_RESIMAGE"], out, kit, "RCDATA_RAW/101=" + archive + ".bz2"], check=True)
                with open(out, "rb") as f:
                    installer = self.place_installer(f.read(), name="clash.exe")
                process = self.start_installer("-s", "-r", "-d", target, installer=installer)
                if outcome[1]:
                    self.answer_box(harness.OK)
                self.assertEqual(self.finish(process), outcome)
                if installed is None:
                    self.assertFalse(os.path.exists(folder))
                else:
                    self.assertEqual(tree(folder), installed)
                self.assert_no_temporary_files()

    def test_upgrade_while_the_earlier_program_runs(self):
        """The earlier version's program still runs, deaf to the close request (it has no window).
        Windows lets a running program's file be renamed but not deleted, so it is not replaced: the
        upgrade fails and leaves the earlier version whole."""
        target = r"C:\Program Files\Zorvana"
        folder = self.session.unix_path(target)
        self.place_earlier_version(folder)
        self.start_holder(target + r"\zorv.exe")
        self.assert_failed_upgrade(target, folder, tree(folder))

    def test_upgrade_on_a_full_disk(self):
        """The target's drive (a small tmpfs mapped as T:) has room for the earlier version and a
        little more, too little for the new files beside it: the room is checked before the first
        change."""
        disk = self.mount_drive_t(sum(len(b) for b in self.app.values()) * 3 // 2 // 1024)
        folder = os.path.join(disk, "Zorvana")
        self.assert_failed_upgrade(r"T:\Zorvana", folder, self.place_earlier_version(folder))

    def test_upgrade_fills_the_disk_half_way(self):
        """The target's drive has room for what the archive counts, but not for the disk blocks of
        the new version's many small files, which the room check cannot see: it fills up half way
        through the upgrade."""
        def many_small_files(app_dir):
            os.makedirs(os.path.join(app_dir, "muchos"))
            for i in range(400):
                with open(os.path.join(app_dir, "muchos", "f%03d.txt" % i), "wb") as f:
                    f.write(b"x" * 100)
        installer, app = self.pack_variant("many.exe", many_small_files)
        disk = self.mount_drive_t(4 * sum(len(b) for b in app.values()) // 1024 + 2048)
        folder = os.path.join(disk, "Zorvana")
        earlier = self.place_earlier_version(folder)
        room = os.statvfs(disk).f_bavail * os.statvfs(disk).f_frsize
        with open(os.path.join(disk, "relleno"), "wb") as f:
            f.write(b"\0" * (room - sum(len(b) for b in app.values()) - 256 * 1024))
        self.assert_failed_upgrade(r"T:\Zorvana", folder, earlier, installer)

    def test_upgrade_through_a_folder_that_links_to_another_drive(self):
        """A folder of the earlier installation is a link to a folder on drive T: (a tmpfs of its
        own). Nothing is written through it, and nothing is moved across it (a move to another
        drive would have to copy): message 2, the earlier version whole on both drives."""
        target = r"C:\Program Files\Zorvana"
        folder = self.session.unix_path(target)
        earlier = self.place_earlier_version(folder)
        elsewhere = os.path.join(self.mount_drive_t(4096), "datos")
        shutil.move(os.path.join(folder, "datos"), elsewhere)
        os.symlink(elsewhere, os.path.join(folder, "datos"))
        there = tree(elsewhere)
        self.assertNotEqual(there, {})
        self.assert_failed_upgrade(target, folder, {k: v for k, v in earlier.items() if not k.startswith("datos")})
        self.assertEqual(tree(elsewhere), there)
        self.assertTrue(os.path.islink(os.path.join(folder, "datos")))

    def test_second_installer_while_the_first_holds_the_target(self):
        """A second installer, started from another folder while the first one is changing the
        target (stopped there, holding it), fails with message 2 and changes nothing; the first
        then ends as it would alone. Nor can anyone rename a level the first one holds, the target
        and the change's own folder among them: it fails with a sharing violation. The first
        carries many small files, so that its change lasts long enough to be caught in the middle."""
        target = r"C:\Program Files\Zorvana"
        folder = self.session.unix_path(target)
        self.place_earlier_version(folder)
        mine = tree(folder)["mis notas.txt"]

        def many_small_files(app_dir):
            os.makedirs(os.path.join(app_dir, "muchos"))
            for i in range(1500):
                with open(os.path.join(app_dir, "muchos", "f%04d.txt" % i), "wb") as f:
                    f.write(b"%d\r\n" % i)
        installer, app = self.pack_variant("many.exe", many_small_files)
        first = self.session.start([installer, "-s", "-r", "-d", target], cwd=self.downloads, relay=True)
        journal = os.path.join(folder, "tmp_inst.old", "journal")
        deadline = time.monotonic() + 60
        while not (os.path.exists(journal) and os.path.getsize(journal) > 0):
            self.assertIsNone(first.poll(), "the first installer ended before it was caught changing the target")
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.005)
        os.kill(first.pid, signal.SIGSTOP)
        try:
            held = tree(folder)
            renamer = os.path.join(ENV["ZORV_WIN_DIR"], "zorv-hold-file.exe")
            for level in (target, target + r"\tmp_inst.old"):
                status, text = self.session.run([renamer, "--rename", level, level + "-moved"])
                self.assertEqual(text.strip(), "error 32", level)  # ERROR_SHARING_VIOLATION
            elsewhere = self.session.unix_path(r"C:\users\Public\Otra")
            os.makedirs(elsewhere)
            second = self.session.start([self.place_installer(), "-s", "-r", "-d", target],
                                        cwd=elsewhere, relay=True)
            self.answer_box(harness.OK)
            self.assertEqual(self.finish(second), (FAILURE_STATUS, [(EXTRACTION_FAILED, harness.CAPTION, ERROR_BOX, IDOK)]))
            self.assertEqual(tree(folder), held)
        finally:
            os.kill(first.pid, signal.SIGCONT)
        self.assertEqual(self.finish(first), (0, []))
        self.assertEqual(tree(folder), dict(app, **{"mis notas.txt": mine}))
        self.assert_no_temporary_files()

    def test_fault_injection(self):
        """The installer's fault-injection walk as built for Windows: every seam call fails in turn.

        The walk is its own program (tests/fault_injection_test.cpp, with the Win32 half of the
        seam and its payload as a resource), over a fresh installation and an upgrade; it prints
        its call counts and fails on any dishonest end.
        """
        status, text = self.session.run([os.path.join(ENV["ZORV_WIN_DIR"], "zorv-fault-injection.exe")],
                                        timeout=240)
        print("\n".join(text.strip().splitlines()[-3:]))
        self.assertEqual(status, 0, text)
        self.assertIn("all ended honestly", text)

    def test_library_beside_installer_is_not_loaded(self):
        """A library planted in the downloads folder under the name of one Wine loads at run time.

        Wine is told to prefer a native copy of its display driver, so that it searches for one as
        Windows searches for any library; a program without the installer's restriction picks the
        planted copy from its own folder (the control), the installer must not.
        """
        shutil.copyfile(os.path.join(ENV["ZORV_WIN_DIR"], "zorv-planted.dll"),
                        os.path.join(self.downloads, "winex11.drv"))
        mark = self.session.unix_path(r"C:\zorv-planted.txt")
        prefer_native = dict(WINEDLLOVERRIDES=self.session.env["WINEDLLOVERRIDES"] + ";winex11.drv=n,b")

        control = DOWNLOADS + r"\zorv-close-request.exe"
        shutil.copyfile(os.path.join(ENV["ZORV_WIN_DIR"], "zorv-close-request.exe"),
                        self.session.unix_path(control))
        self.session.run([control], cwd=self.downloads, extra_env=prefer_native)
        self.assertTrue(os.path.exists(mark), "the control did not load the planted library: the test proves nothing")
        os.remove(mark)

        process = self.session.start([self.place_installer()], cwd=self.downloads, relay=True, extra_env=prefer_native)
        self.answer_box(harness.CANCEL)
        process.wait(60)
        self.assertEqual(process.returncode, 0)
        self.assertFalse(os.path.exists(mark), "the installer loaded the library planted beside it")
        calls = harness.relayed_calls(harness.output(process))
        # Before anything else: the search restricted to the system folder, the current folder dropped.
        self.assertEqual([name for name, _, _ in calls], ["SetDefaultDllDirectories", "SetDllDirectoryA", "MessageBoxA"])
        self.assertEqual(calls[0][1], "00000800")  # LOAD_LIBRARY_SEARCH_SYSTEM32
        self.assertRegex(calls[1][1], r'^[0-9a-f]+ ""$')


if __name__ == "__main__":
    unittest.main()
