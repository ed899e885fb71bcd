#!/usr/bin/env python3
"""Checks the three built exes on the machine it runs on, whose answer is
known: a CI runner of a known hypervisor, or a machine the tests dressed.

    check-exes.py [--launcher WINE] --vendor VENDOR (FOLDER | --zip-in DOWNLOADS)
                  [--tools TOOLS [--leg NAME] [--facts-out DIR] [--summary FILE]
                   [--pairs N]]

FOLDER holds Guestwise.exe, GuestwiseFacts.exe and GuestwiseReplay.exe.
DOWNLOADS holds the release zip alone, as downloaded: it is unpacked, and
every file in it must match its SHA256SUMS before its programs are checked.
WINE is the command that runs an exe (none on Windows); VENDOR is the vendor
the report must name, "Unknown" for a machine that must not be called a
virtual machine. Each exe must carry its version resource and manifest;
--help and --version must print their texts; the report must follow its
schema and give the verdict, vendor and exit status expected; the facts
that GuestwiseFacts.exe records must replay to its report and status, with
nothing on standard error. The facts must hold a processor section, which
must be what the tests' own decoder makes of this machine's CPUID registers
as TOOLS' cpuid_leaves.exe reads them, run as the exes are (without TOOLS,
of the section's own registers). On Windows x64 with VENDOR Hyper-V it must
also say what every Hyper-V guest's processor says, whatever the guest's
settings: the hypervisor bit and the "Microsoft Hv" signature; whether this
is a root partition is only recorded, beside the machine's VBS status (a
guest running VBS where nested virtualization is offered is the root of its
own Hyper-V). Under the x64 emulation of Windows on ARM, whose CPUID is the
emulator's, nothing more is required. Prints one line and returns 0 when all
hold, else one line naming the first difference, status 1.

With TOOLS (the folder of dresser.exe, sleeper.exe, cpuid_leaves.exe and
GuestwiseFloor.exe, which the build puts in runner-tools), the machine is
then dressed as each vendor's guest of tests/e2e/dressings.json in turn, and
undressed after each: every dressed report must be the undressed one with
the dressed findings in their places, with the verdict, vendor, confidence
and status that follow, and every undressed report the first one again. Then
Guestwise.exe is timed against GuestwiseFloor.exe, N pairs taken in turns
(20 by default). The facts documents of the undressed and each dressed run
go to DIR, with their exit statuses in DIR/statuses.json; a table of what
was checked and the times is added to FILE (by default the file that
GITHUB_STEP_SUMMARY names, else DIR/summary.md), with the processor section
of the undressed run. NAME, the runner leg, starts every failure line.
This needs an administrator on Windows, and changes the machine while it
runs.

Needs the Python packages jsonschema and pefile.
"""
import argparse
import ctypes
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

E2E = Path(__file__).resolve().parents[1] / "tests" / "e2e"
sys.path.insert(0, str(E2E))

import jsonschema  # noqa: E402
import pefile  # noqa: E402
from cpuid import (READER_ARGUMENTS, expected_section, parse_registers,  # noqa: E402
                   recorded_registers, section_difference)
from report import HELP, STATUS_NOT_VM, STATUS_VM, VERSION, parse_facts, parse_report  # noqa: E402
from dressing import DRESSINGS, DressingFailed, dress, expected_report, undress  # noqa: E402
from release import PROGRAMS  # noqa: E402
from test_resources import resources, version_strings  # noqa: E402

EXES = list(PROGRAMS)


class Differs(Exception):
    """What differs from the expected, in one line."""


def one_line(text):
    return " ".join(str(text).split())


class Exes:
    def __init__(self, folder, launcher):
        # Absolute: some programs run in another working directory.
        self.folder = Path(folder).resolve()
        self.launcher = launcher

    def path(self, name):
        path = self.folder / name
        if not path.is_file():
            raise Differs(f"{path} is missing")
        return path

    def run(self, name, *args, cwd=None):
        return self.run_program(self.path(name), *args, cwd=cwd)

    def run_program(self, program, *args, cwd=None):
        """(status, stdout, stderr). Output goes through files: Wine's
        background services inherit the handles and would hold a pipe open."""
        name = Path(program).name
        command = [*self.launcher, str(program), *args]
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
    """SHA256SUMS as {path: digest}; only relative paths inside this folder,
    with "/" between folders (docs/releases.md)."""
    try:
        lines = (Path(folder) / "SHA256SUMS").read_text(encoding="ascii").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise Differs(f"the zip has no readable SHA256SUMS: {one_line(error)}") from None
    sums = {}
    for line in lines:
        digest, _, name = line.partition("  ")
        # The same rule on Windows and Linux: no drive, no backslash, no way out.
        inside = not ("\\" in name or ":" in name
                      or any(part in ("", ".", "..") for part in name.split("/")))
        if len(digest) != 64 or not inside:
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


def untimed(report):
    return {**report, "detectionTimeMs": 0}


def run_report(exes, what):
    """Guestwise.exe's status and report, and GuestwiseFacts.exe's status,
    document and bytes, from two runs that must agree."""
    status, stdout, stderr = exes.run("Guestwise.exe")
    check_clean_stderr("Guestwise.exe", stderr)
    report = read_report(f"Guestwise.exe's report{what} (status {status})", stdout, parse_report)
    facts_status, facts, stderr = exes.run("GuestwiseFacts.exe")
    check_clean_stderr("GuestwiseFacts.exe", stderr)
    document = read_report(f"GuestwiseFacts.exe's document{what} (status {facts_status})", facts,
                           parse_facts)
    if (facts_status, untimed(document["report"])) != (status, untimed(report)):
        raise Differs(f"GuestwiseFacts.exe{what} recorded status {facts_status} and "
                      f"{document['report']}, Guestwise.exe gave status {status} and {report}")
    return status, report, facts_status, document, facts


def check_report_and_replay(exes, vendor):
    status, report, facts_status, document, facts = run_report(exes, "")
    check_verdict("Guestwise.exe", status, report, vendor)
    check_verdict("GuestwiseFacts.exe", facts_status, document["report"], vendor)

    with tempfile.TemporaryDirectory(prefix="guestwise-check-") as folder:
        # By its own name in the working directory: no Linux path to give Wine.
        (Path(folder) / "facts.json").write_bytes(facts)
        replay_status, replayed, stderr = exes.run("GuestwiseReplay.exe", "facts.json",
                                                   cwd=folder)
    check_clean_stderr("GuestwiseReplay.exe", stderr)
    replay = read_report("GuestwiseReplay.exe's report", replayed, parse_report)
    if (replay_status, untimed(replay)) != (facts_status, untimed(document["report"])):
        raise Differs(f"the replay gave status {replay_status} and {replay}, the facts "
                      f"recorded status {facts_status} and {document['report']}")
    return status, report, facts, document


def runs_on_x64_hardware():
    """False under the x64 emulation of Windows on ARM, whose CPUID is the
    emulator's (IsWow64Process2 names the machine's own architecture)."""
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = ctypes.c_void_p
    kernel32.IsWow64Process2.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ushort),
                                         ctypes.POINTER(ctypes.c_ushort)]
    process, machine = ctypes.c_ushort(), ctypes.c_ushort()
    if not kernel32.IsWow64Process2(kernel32.GetCurrentProcess(), ctypes.byref(process),
                                    ctypes.byref(machine)):
        raise Differs(f"IsWow64Process2 failed: error {ctypes.get_last_error()}")
    return machine.value == 0x8664  # IMAGE_FILE_MACHINE_AMD64


def check_processor(exes, document, vendor, reader):
    """The processor section, as far as this machine lets it be known; the
    summary's rows of what it says. `reader` is cpuid_leaves.exe, run as the
    exes are, or None."""
    section = document.get("processor")
    if section is None:
        raise Differs("GuestwiseFacts.exe's document has no processor section")
    try:
        registers = read_registers(exes, reader) if reader else recorded_registers(section)
    except ValueError as error:
        raise Differs(one_line(error)) from None
    difference = section_difference(section, expected_section(registers))
    if difference:
        raise Differs(difference)
    said = {key: section[key] for key in ("vendor", "brand", "hypervisorPresent")}
    rows = [("Processor (CPUID)", cell(json.dumps(said))),
            ("Its hypervisor leaves", cell(json.dumps(section["hypervisor"])))]
    if not exes.launcher and vendor == "Hyper-V" and runs_on_x64_hardware():
        hypervisor = section["hypervisor"] or {}
        found = (section["hypervisorPresent"], hypervisor.get("vendor"))
        if found != (True, "Microsoft Hv"):
            raise Differs(f"the processor's hypervisor bit and signature are {found}, expected "
                          f"(True, 'Microsoft Hv') on a Hyper-V guest")
        rows.append(("Root partition, and VBS (Win32_DeviceGuard)",
                     cell(f"rootPartition {json.dumps(hypervisor.get('rootPartition'))}; "
                          f"{vbs_status()}")))
    return rows


def read_registers(exes, reader):
    status, out, err = exes.run_program(reader, *READER_ARGUMENTS)
    if status != 0:
        raise Differs(f"{reader.name} gave status {status}: "
                      f"{one_line(err.decode(errors='replace')) or 'nothing on standard error'}")
    return parse_registers(out)


# Win32_DeviceGuard's VirtualizationBasedSecurityStatus.
VBS_STATES = {"0": "off", "1": "enabled, not running", "2": "running"}


def vbs_status():
    """What Windows says of virtualization-based security on this machine,
    or why it could not be read; never a failure, as it is only shown."""
    script = ("$g = Get-CimInstance -Namespace root\\Microsoft\\Windows\\DeviceGuard "
              "-ClassName Win32_DeviceGuard -ErrorAction Stop; "
              "'{0} {1}' -f $g.VirtualizationBasedSecurityStatus, "
              "($g.SecurityServicesRunning -join ',')")
    try:
        result = subprocess.run(["powershell", "-NoProfile", "-NonInteractive", "-Command",
                                 script], capture_output=True, timeout=120,
                                stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"VBS unknown: {one_line(error)}"
    words = result.stdout.decode(errors="replace").split()
    if result.returncode != 0 or not words:
        return f"VBS unknown: {one_line(result.stderr.decode(errors='replace')) or 'no answer'}"
    state = VBS_STATES.get(words[0], f"status {words[0]}")
    services = words[1] if len(words) > 1 else "none"
    return f"VBS {state}, SecurityServicesRunning {services}"


def cell(text):
    return text.replace("|", "\\|")


def first_difference(expected, found):
    """The first field of a report that differs, expected then found."""
    for index, (wanted, got) in enumerate(zip(expected["evidence"], found["evidence"])):
        if wanted != got:
            return f"evidence line {index + 1}: expected {wanted!r}, found {got!r}"
    wanted, got = expected["evidence"], found["evidence"]
    if len(wanted) != len(got):
        line = len(min(wanted, got, key=len))
        return (f"evidence line {line + 1}: expected {(wanted + ['no line'])[line]!r}, "
                f"found {(got + ['no line'])[line]!r}")
    for key in ("isVirtualMachine", "vendor", "confidence", "status"):
        if expected[key] != found[key]:
            return f"{key}: expected {expected[key]!r}, found {found[key]!r}"
    return None


def summary_of(report):
    return (f"{report['vendor']}, confidence {report['confidence']}, "
            f"{len(report['evidence'])} findings, status {report['status']}")


class RunnerCheck:
    """The checks with the dresser, on the machine the exes run on."""

    def __init__(self, tools, leg, facts_out, summary, pairs):
        self.tools, self.leg, self.pairs = Path(tools).resolve(), leg, pairs
        self.facts_out = Path(facts_out) if facts_out else None
        if self.facts_out:
            # Afresh: what it holds is this run's alone.
            shutil.rmtree(self.facts_out, ignore_errors=True)
            self.facts_out.mkdir(parents=True)
        # The job summary on a runner; elsewhere a file beside the facts.
        if not summary and self.facts_out:
            summary = self.facts_out / "summary.md"
        self.summary = summary
        self.rows = []
        self.statuses = {}

    def tool(self, name):
        path = self.tools / name
        if not path.is_file():
            raise Differs(f"{path} is missing")
        return path

    def save_facts(self, name, status, facts):
        if self.facts_out:
            (self.facts_out / f"{name.lower()}.json").write_bytes(facts)
            self.statuses[f"{name.lower()}.json"] = status
            (self.facts_out / "statuses.json").write_text(json.dumps(self.statuses, indent=2))

    def observe(self, exes, what):
        status, report, *_, facts = run_report(exes, what)
        return {**report, "status": status}, facts

    def check_dressings(self, exes, undressed):
        self.rows.append(("Undressed", summary_of(undressed)))
        with tempfile.TemporaryDirectory(prefix="guestwise-dressing-",
                                         ignore_cleanup_errors=True) as folder:
            for name in DRESSINGS:
                self.check_dressing(exes, undressed, name, folder)
        self.rows.append(("Undressed after each dressing", "the undressed report again"))

    def check_dressing(self, exes, undressed, name, folder):
        expected = expected_report(undressed, name)
        expected["status"] = 1 if expected["isVirtualMachine"] else 0
        found, facts = self.dressed_run(exes, name, folder)
        self.save_facts(name, found["status"], facts)
        difference = first_difference(expected, found)
        if difference:
            raise Differs(f"dressed as {name}: {difference}")
        self.rows.append((f"Dressed as {name}", summary_of(found)))
        again, _ = self.observe(exes, f" undressed after {name}")
        difference = first_difference(undressed, again)
        if difference:
            raise Differs(f"undressed after {name}: {difference}")

    def dressed_run(self, exes, name, folder):
        # The record folder by its own name in the working directory.
        def run(program, *args):
            return exes.run_program(program, *args, cwd=folder)

        dresser = self.tool("dresser.exe")
        self.tool("sleeper.exe")
        try:
            dress(run, dresser, ".", DRESSINGS[name])
            observed = self.observe(exes, "")
        except BaseException as error:
            # Undressed whatever happened, and the first failure named.
            try:
                undress(run, dresser, ".")
            except DressingFailed as also:
                print(f"check-exes: {self.leg}: undressing after {name} failed too: {also}",
                      file=sys.stderr)
            if isinstance(error, (Differs, DressingFailed)):
                raise Differs(f"dressed as {name}: {error}") from None
            raise
        try:
            undress(run, dresser, ".")
        except DressingFailed as error:
            raise Differs(f"undressing after {name}: {error}") from None
        return observed

    def time_runs(self, exes):
        """Median wall times of Guestwise.exe and the floor, in turns."""
        floor = self.tool("GuestwiseFloor.exe")
        programs = {"Guestwise.exe": exes.path("Guestwise.exe"), floor.name: floor}
        times = {name: [] for name in programs}
        for turn in range(self.pairs + 1):  # the first pair warms up
            for name, program in programs.items():
                start = time.perf_counter()
                status, _, stderr = exes.run_program(program)
                elapsed = (time.perf_counter() - start) * 1000
                if status not in (0, 1) or stderr:
                    raise Differs(f"{name} failed while timed: status {status}, "
                                  f"stderr {one_line(stderr.decode(errors='replace'))}")
                if turn:
                    times[name].append(elapsed)
        ratios = [g / f for g, f in zip(*times.values())]
        return {name: statistics.median(values) for name, values in times.items()}, \
            statistics.median(ratios)

    def write_summary(self, failure=None):
        if not self.summary:
            return
        lines = [f"### Guestwise checked on {self.leg}", "", "| Check | Result |", "| --- | --- |"]
        lines += [f"| {check} | {result} |" for check, result in self.rows]
        if failure:
            lines.append(f"| **Failed** | {failure} |")
        lines.append("")
        with open(self.summary, "a", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")

    def add_times(self, medians, ratio):
        self.rows.append((f"Time of a run, median of {self.pairs} taken in turns",
                          ", ".join(f"{name} {value:.1f} ms" for name, value in medians.items())))
        self.rows.append(("Guestwise.exe / GuestwiseFloor.exe, median of the pairs' ratios",
                          f"{ratio:.3f}"))


def check(folder, launcher, vendor, runner=None):
    """The report of a run that passed every check."""
    exes = Exes(folder, launcher)
    reader = runner.tool("cpuid_leaves.exe") if runner else None
    check_resources(exes)
    check_texts(exes)
    status, report, facts, document = check_report_and_replay(exes, vendor)
    processor_rows = check_processor(exes, document, vendor, reader)
    if runner:
        runner.rows.append(("Resources, --help, --version, the facts replay", "as expected"))
        runner.rows += processor_rows
        runner.save_facts("undressed", status, facts)
        runner.check_dressings(exes, {**report, "status": status})
        runner.add_times(*runner.time_runs(exes))
    return report


def check_release(downloads, launcher, vendor, runner=None):
    with tempfile.TemporaryDirectory(prefix="guestwise-release-") as folder:
        unpack_release(downloads, folder)
        check_sums(folder)
        return check(folder, launcher, vendor, runner)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--launcher", default="", help="the command that runs an exe (wine)")
    parser.add_argument("--vendor", required=True)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("folder", nargs="?", help="the folder of the three exes")
    where.add_argument("--zip-in", metavar="DOWNLOADS", help="the folder of the release zip")
    parser.add_argument("--tools", help="the folder of dresser.exe, sleeper.exe, "
                        "cpuid_leaves.exe and GuestwiseFloor.exe")
    parser.add_argument("--leg", default="this machine", help="the runner leg, for messages")
    parser.add_argument("--facts-out", metavar="DIR", help="where the facts documents go")
    parser.add_argument("--summary", metavar="FILE", default=os.environ.get("GITHUB_STEP_SUMMARY"),
                        help="the Markdown file the table is added to")
    parser.add_argument("--pairs", type=int, default=20, help="timed pairs of runs")
    options = parser.parse_args(argv)
    launcher = options.launcher.split()
    runner = None
    if options.tools:
        runner = RunnerCheck(options.tools, options.leg, options.facts_out, options.summary,
                             options.pairs)
    try:
        if options.zip_in:
            report = check_release(options.zip_in, launcher, options.vendor, runner)
        else:
            report = check(options.folder, launcher, options.vendor, runner)
    except Differs as difference:
        where = f"{options.leg}: " if runner else ""
        print(f"check-exes: {where}{difference}", file=sys.stderr)
        if runner:
            runner.write_summary(failure=str(difference))
        return 1
    if runner:
        runner.write_summary()
    print(f"check-exes: {options.zip_in or options.folder}: {report['vendor']}, confidence "
          f"{report['confidence']}, {len(report['evidence'])} findings; "
          f"{'checksums, ' if options.zip_in else ''}texts, resources, the facts replay and "
          f"the processor section as expected{'; every dressing and undressing as expected' if runner else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
