"""What a release hands out, used as its users would: the zip with its
checksums, and the installed package built into a program of their own."""
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile
from pathlib import Path
from urllib.parse import urlsplit

import jsonschema
import yaml

from guest import Guest, Machine
from release import PROGRAMS, ZIP_NAME, run
from report import STATUS_VM, parse_report, report_text

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ["GUESTWISE_BUILD_DIR"])
CMAKE = os.environ["GUESTWISE_CMAKE"]
# The same arguments for both manifests; a test's own come after, and win.
MANIFEST_ARGUMENTS = ["--server", "https://github.com", "--tag", "v1.0.0",
                      "--repository", "Owner-1/guest.wise"]
ALIASES = {"Guestwise.exe": "guestwise", "GuestwiseFacts.exe": "guestwise-facts",
           "GuestwiseReplay.exe": "guestwise-replay"}
WINGET_SCHEMAS = Path(__file__).resolve().parent / "winget-schemas"
LINK = re.compile(r"\]\(([^)\s]+)\)")
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
        document = json.loads(run(sys.executable, SOURCE_DIR / "scripts" / "scoop-manifest.py",
                                  "--zip", self.zip, *MANIFEST_ARGUMENTS))
        download = document["architecture"]["64bit"]
        self.assertEqual((document["version"], download["hash"], document["bin"]),
                         ("1.0.0", sha256(self.zip), [list(pair) for pair in ALIASES.items()]))
        self.assert_release_download(download["url"])

    def test_winget_manifests_follow_the_schemas_and_install_the_zip(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-winget-") as out:
            run(sys.executable, SOURCE_DIR / "scripts" / "winget-manifest.py", "--zip", self.zip,
                *MANIFEST_ARGUMENTS, "--out", out)
            manifests = {path.name: yaml.safe_load(path.read_text(encoding="utf-8"))
                         for path in Path(out).iterdir()}
        self.assertEqual(sorted(manifests), ["Kestrova.Guestwise.installer.yaml",
                                             "Kestrova.Guestwise.locale.en-US.yaml",
                                             "Kestrova.Guestwise.yaml"])
        for name, manifest in manifests.items():
            with self.subTest(manifest=name):
                schema = WINGET_SCHEMAS / f"manifest.{manifest['ManifestType']}.1.12.0.json"
                jsonschema.Draft7Validator(json.loads(schema.read_text())).validate(manifest)
                self.assertEqual((manifest["PackageIdentifier"], manifest["PackageVersion"],
                                  manifest["ManifestVersion"]),
                                 ("Kestrova.Guestwise", "1.0.0", "1.12.0"))
        installer = manifests["Kestrova.Guestwise.installer.yaml"]
        [download] = installer["Installers"]
        self.assertEqual((installer["InstallerType"], installer["NestedInstallerType"],
                          installer["NestedInstallerFiles"], download["InstallerSha256"].lower()),
                         ("zip", "portable",
                          [{"RelativeFilePath": program, "PortableCommandAlias": alias}
                           for program, alias in ALIASES.items()], sha256(self.zip)))
        self.assert_release_download(download["InstallerUrl"])

    def test_manifest_scripts_refuse_what_would_make_a_wrong_manifest(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-refused-") as scratch:
            not_a_zip = Path(scratch) / ZIP_NAME
            not_a_zip.write_text("not a zip")
            odd_program = Path(scratch) / "odd" / ZIP_NAME
            odd_program.parent.mkdir()
            with zipfile.ZipFile(odd_program, "w") as archive:
                archive.writestr("Guestwise.exe", b"MZ")
                archive.writestr("guest_wise.exe", b"MZ")
            cases = [
                ([scratch + "/missing.zip", *MANIFEST_ARGUMENTS],
                 f"the zip '{scratch}/missing.zip' cannot be read: No such file or directory"),
                ([not_a_zip, *MANIFEST_ARGUMENTS],
                 f"the zip '{not_a_zip}' cannot be read: File is not a zip file"),
                ([self.zip, *MANIFEST_ARGUMENTS, "--tag", "1.0.0"],
                 "the tag '1.0.0' is not vMAJOR.MINOR.PATCH"),
                ([self.zip, *MANIFEST_ARGUMENTS, "--tag", "v1.0.1"],
                 f"the tag v1.0.1 names version 1.0.1, but the zip '{ZIP_NAME}' names version "
                 "1.0.0"),
                ([self.zip, *MANIFEST_ARGUMENTS, "--repository", "owner/name/../x"],
                 "the repository 'owner/name/../x' is not OWNER/NAME"),
                ([self.zip, *MANIFEST_ARGUMENTS, "--server", "http://github.com"],
                 "the server 'http://github.com' is not an https:// address"),
                ([odd_program, *MANIFEST_ARGUMENTS],
                 "the program 'guest_wise.exe' has no valid command alias: its name must be "
                 "CamelCase letters and digits, giving at most 40 characters"),
            ]
            for script, extra in [("scoop-manifest", []), ("winget-manifest", ["--out", scratch])]:
                for arguments, refusal in cases:
                    with self.subTest(script=script, refusal=refusal):
                        result = subprocess.run(
                            [sys.executable, SOURCE_DIR / "scripts" / f"{script}.py", "--zip",
                             *arguments, *extra], capture_output=True, text=True)
                        self.assertEqual((result.returncode, result.stdout, result.stderr),
                                         (2, "", f"{script}: {refusal}\n"))
            self.assertEqual(sorted(path.name for path in Path(scratch).iterdir()),
                             [ZIP_NAME, "odd"])

    def test_every_relative_link_of_the_unpacked_docs_resolves_there(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-links-") as unpacked:
            unpacked = Path(unpacked)
            with zipfile.ZipFile(self.zip) as archive:
                archive.extractall(unpacked)
            followed = []
            for page in sorted(unpacked.rglob("*.md")):
                for target in LINK.findall(page.read_text(encoding="utf-8")):
                    if re.match(r"[a-z]+:", target):
                        continue
                    path, _, anchor = target.partition("#")
                    linked = (page.parent / path).resolve() if path else page
                    where = f"{page.relative_to(unpacked)} -> {target}"
                    self.assertTrue(linked.is_relative_to(unpacked) and linked.is_file(), where)
                    if anchor:
                        self.assertIn(anchor, anchors(linked), where)
                    followed.append(where)
        print(*followed, sep="\n")
        self.assertIn("README.md -> docs/releases.md#verifying-a-release", followed)

    def assert_release_download(self, address):
        url = urlsplit(address)
        self.assertEqual((url.scheme, url.netloc, url.path, url.query),
                         ("https", "github.com",
                          f"/Owner-1/guest.wise/releases/download/v1.0.0/{ZIP_NAME}", ""))


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def anchors(page):
    """The anchors GitHub gives the headings of a Markdown page."""
    found, fenced = set(), False
    for line in page.read_text(encoding="utf-8").splitlines():
        fenced ^= line.startswith("```")
        if not fenced and line.startswith("#"):
            heading = line.lstrip("#").strip().lower()
            found.add(re.sub(r"[^\w\- ]", "", heading).replace(" ", "-"))
    return found


class TagCheck(unittest.TestCase):
    def test_release_notes_need_entries_under_the_tags_version(self):
        with tempfile.TemporaryDirectory(prefix="guestwise-tag-") as tree:
            tree = Path(tree)
            (tree / "scripts").mkdir()
            for name in ["scripts/release.sh", "CMakeLists.txt", "CHANGELOG.md"]:
                shutil.copy(SOURCE_DIR / name, tree / name)
            check = ["bash", tree / "scripts" / "release.sh", "check", "v1.0.0"]
            ours = subprocess.run(check, capture_output=True, text=True)
            # A section under its heading with prose alone, and entries in the next.
            (tree / "CHANGELOG.md").write_text("# Changelog\n\n## [1.0.0]\n\nThe first release."
                                               "\n\n## [0.9.0]\n\n- An entry.\n")
            empty = subprocess.run(check, capture_output=True, text=True)
        self.assertEqual((ours.returncode, ours.stderr), (0, ""))
        self.assertEqual((empty.returncode, empty.stdout, empty.stderr),
                         (1, "", "release: CHANGELOG.md's section '## [1.0.0]' lists no entries "
                          "('- ' items): the release notes would say nothing of what it holds\n"))


class Sources(unittest.TestCase):
    def test_the_release_builds_on_the_image_whose_zip_ci_checks(self):
        workflows = SOURCE_DIR / ".github" / "workflows"
        ci = yaml.safe_load((workflows / "ci.yml").read_text())
        release = yaml.safe_load((workflows / "release.yml").read_text())
        image = ci["env"]["RELEASE_IMAGE"]
        self.assertIn(image, ci["jobs"]["linux"]["strategy"]["matrix"]["image"])
        self.assertEqual(release["jobs"]["build"]["container"]["image"], image)

    def test_a_windows_checkout_gives_every_file_as_committed(self):
        # Git for Windows turns LF into CRLF on checkout (core.autocrlf), and
        # git archive converts as a checkout does.
        committed, on_windows = head_files(), head_files("-c", "core.autocrlf=true")
        self.assertEqual([name for name in committed if on_windows[name] != committed[name]], [])


def head_files(*config):
    """HEAD's files as git writes them out with that configuration. Not a
    clone: as root on a checkout that another user owns, git refuses one;
    this repository alone is trusted, by name, as scripts/reproduce.sh does."""
    archive = subprocess.run(["git", "-c", f"safe.directory={SOURCE_DIR}", *config, "-C",
                              SOURCE_DIR, "archive", "HEAD"], check=True,
                             capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        return {member.name: tar.extractfile(member).read() for member in tar if member.isfile()}


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
