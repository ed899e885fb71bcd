#!/usr/bin/env python3
"""Checks the three built exes on the machine it runs on, whose answer is
known: a CI runner of a known hypervisor, or a machine the tests dressed.

    check-exes.py [--launcher WINE] --vendor VENDOR (FOLDER | --zip-in DOWNLOADS)

FOLDER holds Guestwise.exe, GuestwiseFacts.exe and GuestwiseReplay.exe.
DOWNLOADS holds the release zip alone, as downloaded: it is unpacked, and
every file in it must match its SHA256SUMS before its programs are checked.
WINE is the command that runs an exe (none on Windows); VENDOR is the vendor
the report must name, "Unknown" for a machine that must not be called a
virtual machine. Each exe must carry its version resource and manifest;
--help and --version must print their texts; the report must follow its
schema and give the verdict, vendor and exit status expected; the facts
that GuestwiseFacts.exe records must replay to its report and status, with
nothing on standard error. Prints one line and returns 0 when all hold,
else one line naming the first difference, status 1.

Needs the Python packages jsonschema and pefile.
"""
import argparse
import hashlib
import json
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

E2E = Path(__file__).resolve().parents[1] / "tests" / "e2e"
sys.path.insert(0, str(E2E))

import jsonschema  # noqa: E402
import pefile  # noqa: E402
from report import (HELP, STATUS_NOT_VM, STATUS_VM, VERSION, parse_facts,  # noqa: E402
                    parse_report)
from release import PROGRAMS  # noqa: E402
from test_resources import resources, version_strings  # noqa: E402

EXES = list(PROGRAMS)


class Differs(Exception):
    """What differs from the expected, in one line."""


def one_line(text):
    return " ".join(str(text).split())


class Exes:
    def __init__(self, folder, launcher):
        self.folder = Path(folder)
        self.launcher = launcher

    def path(self, name):
        path = self.folder / name
        if not path.is_file():
            raise Differs(f"{path} is missing")
        return path

    def run(self, name, *args, cwd=None):
        """(status, stdout, stderr). Output goes through files: Wine's
        background services inherit the handles and would hold a pipe open."""
        command = [*self.launcher, str(self.path(name)), *args]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=err, cwd=cwd, timeout=300).returncode
            except (OSError, subprocess.TimeoutExpired) as error:
                raise Differs(f"{name} did not run: {one_line(error)}") from None
            out.seek(0)
            err.seek(0)
            return to_windows_status(status), out.read(), err.read()


def to_windows_status(status):
    # -1 reaches Python as 4294967295 on Windows, as 255 through Wine.
    return -1 if status in (255, 0xFFFFFFFF) else status


def unpack_release(downloads, folder):
    """Unpacks the one zip in `downloads` into `folder`."""
    zips = sorted(Path(downloads).glob("*.zip"))
    if not zips:
        raise Differs(f"no zip in {downloads}: the release zip is missing")
    if len(zips) > 1:
        names = ", ".join(path.name for path in zips)
        raise Differs(f"{downloads} holds {names}: expected the release zip alone")
    try:
        with zipfile.ZipFile(zips[0]) as archive:
            archive.extractall(folder)
    except (zipfile.BadZipFile, OSError) as error:
        raise Differs(f"{zips[0].name} is not a readable zip: {one_line(error)}") from None


def read_sums(folder):
    """SHA256SUMS as {file name: digest}; only plain names in this folder."""
    try:
        lines = (Path(folder) / "SHA256SUMS").read_text(encoding="ascii").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise Differs(f"the zip has no readable SHA256SUMS: {one_line(error)}") from None
    sums = {}
    for line in lines:
        digest, _, name = line.partition("  ")
        if len(digest) != 64 or not name or Path(name).name != name or name in (".", ".."):
            raise Differs(f"SHA256SUMS has a line that is no checksum of a file: {line!r}")
        sums[name] = digest.lower()
    return sums


def check_sums(folder):
    """Every file beside SHA256SUMS listed there, and matching it."""
    folder = Path(folder)
    sums = read_sums(folder)
    files = {path.relative_to(folder).as_posix() for path in folder.rglob("*") if path.is_file()}
    for name in sorted(files - set(sums) - {"SHA256SUMS"}):
        raise Differs(f"{name} is missing from SHA256SUMS")
    for name, digest in sorted(sums.items()):
        if name not in files:
            raise Differs(f"{name} is in SHA256SUMS but missing from the zip")
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != digest:
            raise Differs(f"{name} does not match SHA256SUMS")


def check_resources(exes):
    for name in EXES:
        try:
            pe = pefile.PE(str(exes.path(name)))
            strings = version_strings(pe)
            manifests = resources(pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
        except (pefile.PEFormatError, AttributeError, IndexError) as error:
            raise Differs(f"{name}: no version resource or manifest ({one_line(error)})") \
                from None
        expected = {"OriginalFilename": name, "FileVersion": VERSION.decode().strip()}
        found = {key: strings.get(key) for key in expected}
        if found != expected:
            raise Differs(f"{name}: the version resource has {found}, expected {expected}")
        if [number for number, _, _ in manifests] != [1] or b"asInvoker" not in manifests[0][2]:
            raise Differs(f"{name}: no manifest 1 asking for asInvoker")


def check_texts(exes):
    for option, text in [("--help", HELP), ("--version", VERSION)]:
        got = exes.run("Guestwise.exe", option)
        if got != (0, text, b""):
            raise Differs(f"Guestwise.exe {option} gave status {got[0]}, stdout {got[1]!r}, "
                          f"stderr {got[2]!r}; expected status 0, stdout {text!r}")


def read_report(what, stdout, parse):
    try:
        return parse(stdout)
    except (AssertionError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise Differs(f"{what}: {one_line(error)}: {stdout[:200]!r}") from None
    except jsonschema.ValidationError as error:
        raise Differs(f"{what} does not follow its schema at "
                      f"{error.json_path}: {one_line(error.message)}") from None


def check_clean_stderr(name, stderr):
    if stderr:
        text = one_line(stderr.decode(errors="replace"))
        raise Differs(f"{name} wrote to standard error: {text}")


def check_verdict(what, status, report, vendor):
    virtual = vendor != "Unknown"
    expected = (virtual, vendor, None, STATUS_VM if virtual else STATUS_NOT_VM)
    got = (report["isVirtualMachine"], report["vendor"], report["error"], status)
    if got != expected:
        raise Differs(f"{what}: isVirtualMachine, vendor, error and status are {got}, "
                      f"expected {expected}")


def check_report_and_replay(exes, vendor):
    status, stdout, stderr = exes.run("Guestwise.exe")
    check_clean_stderr("Guestwise.exe", stderr)
    report = read_report("Guestwise.exe's report", stdout, parse_report)
    check_verdict("Guestwise.exe", status, report, vendor)

    facts_status, facts, stderr = exes.run("GuestwiseFacts.exe")
    check_clean_stderr("GuestwiseFacts.exe", stderr)
    document = read_report("GuestwiseFacts.exe's document", facts, parse_facts)
    check_verdict("GuestwiseFacts.exe", facts_status, document["report"], vendor)

    with tempfile.TemporaryDirectory(prefix="guestwise-check-") as folder:
        # By its own name in the working directory: no Linux path to give Wine.
        (Path(folder) / "facts.json").write_bytes(facts)
        replay_status, replayed, stderr = exes.run("GuestwiseReplay.exe", "facts.json",
                                                   cwd=folder)
    check_clean_stderr("GuestwiseReplay.exe", stderr)
    replay = read_report("GuestwiseReplay.exe's report", replayed, parse_report)
    untimed = {**document["report"], "detectionTimeMs": 0}
    if (replay_status, {**replay, "detectionTimeMs": 0}) != (facts_status, untimed):
        raise Differs(f"the replay gave status {replay_status} and {replay}, the facts "
                      f"recorded status {facts_status} and {document['report']}")
    return report


def check(folder, launcher, vendor):
    """The report of a run that passed every check."""
    exes = Exes(folder, launcher)
    check_resources(exes)
    check_texts(exes)
    return check_report_and_replay(exes, vendor)


def check_release(downloads, launcher, vendor):
    with tempfile.TemporaryDirectory(prefix="guestwise-release-") as folder:
        unpack_release(downloads, folder)
        check_sums(folder)
        return check(folder, launcher, vendor)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--launcher", default="", help="the command that runs an exe (wine)")
    parser.add_argument("--vendor", required=True)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("folder", nargs="?", help="the folder of the three exes")
    where.add_argument("--zip-in", metavar="DOWNLOADS", help="the folder of the release zip")
    options = parser.parse_args(argv)
    launcher = options.launcher.split()
    try:
        if options.zip_in:
            report = check_release(options.zip_in, launcher, options.vendor)
        else:
            report = check(options.folder, launcher, options.vendor)
    except Differs as difference:
        print(f"check-exes: {difference}", file=sys.stderr)
        return 1
    print(f"check-exes: {options.zip_in or options.folder}: {report['vendor']}, confidence "
          f"{report['confidence']}, {len(report['evidence'])} findings; "
          f"{'checksums, ' if options.zip_in else ''}texts, resources and the facts replay "
          "as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
