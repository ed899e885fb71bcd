"""What a release hands out, used as its users would: the zip with its
checksums, and the installed package built into a program of their own."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path
from urllib.parse import urlsplit

from guest import Guest, Machine
from release import PROGRAMS, ZIP_NAME, run
from report import STATUS_VM, parse_report, report_text

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ["GUESTWISE_BUILD_DIR"])
CMAKE = os.environ["GUESTWISE_CMAKE"]
ZIP_FILES = ["CHANGELOG.md", "Guestwise.exe", "GuestwiseFacts.exe", "GuestwiseReplay.exe", "LICENSE",
             "README.md", "SHA256SUMS",
             *sorted(f"docs/{path.name}" for path in (SOURCE_DIR / "docs").iterdir())]


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="guestwise-package-")
        # What `--target package` runs, writing into the scratch folder: one
        # zip that every test reads and none changes.
        run(os.environ["GUESTWISE_CPACK"], "--config", str(BUILD_DIR / "CPackConfig.cmake"),
            "-B", cls.scratch.name)
        cls.zip = Path(cls.scratch.name) / ZIP_NAME

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_zip_holds_the_release_and_checksums_that_check(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-unpacked-") as unpacked:
            unpacked = Path(unpacked)
            with zipfile.ZipFile(self.zip) as archive:
                files = [name for name in archive.namelist() if not name.endswith("/")]
                self.assertEqual(sorted(files), ZIP_FILES)
                archive.extractall(unpacked)
            checked = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unpacked)
            self.assertEqual(sorted(line.split(":")[0] for line in checked.splitlines()),
                             sorted(set(ZIP_FILES) - {"SHA256SUMS"}))
            for name, built in PROGRAMS.items():
                self.assertEqual((unpacked / name).read_bytes(),
                                 Path(os.environ[built]).read_bytes(), name)

    def test_zip_made_again_is_the_same_bytes(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-again-") as again:
            # Long enough after the first that a clock-dated entry would differ.
            time.sleep(2)
            run(os.environ["GUESTWISE_CPACK"], "--config", str(BUILD_DIR / "CPackConfig.cmake"),
                "-B", again)
            self.assertEqual((Path(again) / ZIP_NAME).read_bytes(), self.zip.read_bytes())
        with zipfile.ZipFile(self.zip) as archive:
            items = archive.infolist()
        self.assertEqual([item.filename for item in items], sorted(item.filename for item in items))
        self.assertEqual({(item.date_time, item.external_attr >> 16, item.extra) for item in items
                          if not item.is_dir()}, {(items[0].date_time, 0o100644, b"")})

    def test_reproducible_zip_names_the_first_entry_that_differs(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-rebuilt-") as rebuilt:
            rebuilt = Path(rebuilt) / ZIP_NAME
            with zipfile.ZipFile(self.zip) as original, zipfile.ZipFile(rebuilt, "w") as changed:
                for item in original.infolist():
                    data = original.read(item)
                    # Compressed as the original was: one entry's contents differ.
                    changed.writestr(item, data + b"\n" if item.filename == "docs/census.md"
                                     else data, compresslevel=9)
            result = subprocess.run(
                [sys.executable, SOURCE_DIR / "scripts" / "reproducible-zip.py", "--compare",
                 rebuilt, self.zip], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, f"{ZIP_NAME} differs first at entry docs/census.md (its contents).\n",
                          ""))

    def test_check_exes_names_a_download_that_does_not_match_its_checksums(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-damaged-") as downloads:
            with zipfile.ZipFile(self.zip) as original, \
                    zipfile.ZipFile(Path(downloads) / ZIP_NAME, "w") as damaged:
                for item in original.infolist():
                    data = original.read(item)
                    if item.filename == "GuestwiseFacts.exe":
                        data = data[:-1] + bytes([data[-1] ^ 1])
                    damaged.writestr(item, data)
            # It fails before it runs anything: no Wine machine needed.
            result = subprocess.run(
                [sys.executable, SOURCE_DIR / "scripts" / "check-exes.py", "--vendor", "Hyper-V",
                 "--zip-in", downloads], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "check-exes: GuestwiseFacts.exe does not match SHA256SUMS\n"))

    def test_scoop_manifest_installs_the_zip_from_its_release(self):
        manifest = [sys.executable, SOURCE_DIR / "scripts" / "scoop-manifest.py", "--zip", self.zip,
                    "--server", "https://github.com", "--tag", "v1.0.0", "--repository"]
        document = json.loads(run(*manifest, "Owner-1/guest.wise"))
        refused = subprocess.run([*manifest, "owner/name/../x"], capture_output=True, text=True)
        zip_hash = hashlib.sha256(self.zip.read_bytes()).hexdigest()
        download = document["architecture"]["64bit"]
        self.assertEqual((document["version"], download["hash"], document["bin"]),
                         ("1.0.0", zip_hash, sorted(PROGRAMS)))
        url = urlsplit(download["url"])
        self.assertEqual((url.scheme, url.netloc, url.path, url.query),
                         ("https", "github.com",
                          f"/Owner-1/guest.wise/releases/download/v1.0.0/{ZIP_NAME}", ""))
        self.assertEqual((refused.returncode, refused.stdout, refused.stderr),
                         (2, "", "scoop-manifest: the repository 'owner/name/../x' is not "
                          "OWNER/NAME\n"))


class Embedding(unittest.TestCase):
    def test_example_built_on_the_installed_package_reports_as_guestwise(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-embed-") as scratch:
            prefix, build = Path(scratch) / "prefix", Path(scratch) / "build"
            run(CMAKE, "--install", str(BUILD_DIR), "--prefix", str(prefix))
            # The toolchain searches packages only inside its own root.
            run(CMAKE, "-S", str(SOURCE_DIR / "examples" / "embed"), "-B", str(build),
                f"-DCMAKE_TOOLCHAIN_FILE={os.environ['GUESTWISE_TOOLCHAIN_FILE']}",
                f"-DGuestwise_DIR={prefix / 'lib' / 'cmake' / 'Guestwise'}",
                "-DCMAKE_BUILD_TYPE=Release")
            run(CMAKE, "--build", str(build))
            guest = Guest(smbios={"sys_vendor": "QEMU", "product_name": "Standard PC (i440FX)"},
                          adapters=[["eth0", "52:54:00:12:34:56"]], processes=["qemu-ga.exe"])
            with Machine(guest) as machine:
                program = machine.run_guestwise(exe=prefix / "bin" / "Guestwise.exe")
                embedded = machine.wine(build / "embed.exe")
        print(program.stdout.decode(), embedded.stdout.decode(), sep="\n")
        report = parse_report(program.stdout)
        self.assertEqual(len(report["evidence"]), 4)
        parse_report(embedded.stdout)
        self.assertEqual(report_text(embedded.stdout.decode()),
                         report_text(program.stdout.decode()))
        self.assertEqual((embedded.status, embedded.stderr), (program.status, program.stderr))
        self.assertEqual(program.status, STATUS_VM)

    def test_detect_after_the_program_set_its_own_com_security(self):
        # The program's CoInitializeSecurity comes first; detect()'s own call
        # is then refused, and the detection runs all the same.
        guest = Guest(smbios={"sys_vendor": "VMware, Inc.", "product_name": "VMware Virtual Platform"},
                      adapters=[["eth0", "00:0c:29:12:34:56"]])
        with Machine(guest) as machine:
            program = machine.run_guestwise()
            embedded = machine.wine(os.environ["GUESTWISE_DETECT_AFTER_SECURITY"])
        print(embedded.stdout.decode(), embedded.stderr.decode(), sep="\n")
        self.assertEqual(len(parse_report(embedded.stdout)["evidence"]), 3)
        self.assertEqual(report_text(embedded.stdout.decode()),
                         report_text(program.stdout.decode()))
        self.assertEqual((embedded.status, embedded.stderr), (STATUS_VM, b""))


if __name__ == "__main__":
    unittest.main()
