"""Dressing a Windows machine as a vendor's guest with the dresser
(tests/runner/dresser.cc), and what Guestwise must then report.

The dressings are in dressings.json beside this file. The Wine guests of the
tests and scripts/check-exes.py on a Windows runner both dress through
dress() and undress(), given a function that runs a Windows program there.
"""
import json
from pathlib import Path

DRESSINGS = json.loads((Path(__file__).resolve().parent / "dressings.json").read_text(
    encoding="utf-8"))["dressings"]

# Each kind of item, by the field of a dressing (or a Guest) that lists it.
ITEM_KINDS = {"registry_keys": "key", "denied_registry_keys": "denied-key", "folders": "folder",
              "files": "file", "processes": "process"}

# The findings after the WMI identity, by their first words, in the order
# the probes run.
STEPS = ["Registry key exists: HKLM\\", "VM process detected: ", "VM guest driver detected: ",
         "VM MAC prefix on NIC: ", "VM file/folder detected: "]

# The weight of each kind of finding, by its first words.
WEIGHTS = {"Win32_ComputerSystem.Manufacturer = ": 25, "Win32_ComputerSystem.Model = ": 20,
           "Win32_BIOS contains '": 20, "Win32_BIOS.SerialNumber = ": 25,
           "Win32_BaseBoard.Manufacturer = ": 15, "Win32_DiskDrive.Model = ": 15,
           "Registry key exists: HKLM\\": 20, "VM process detected: ": 20,
           "VM guest driver detected: ": 15, "VM MAC prefix on NIC: ": 20,
           "VM file/folder detected: ": 10, "[Warning] WMI initialization failed": 0}


class DressingFailed(Exception):
    """What could not be dressed or undressed, and why, in one line."""


def items(fields):
    """The dresser's items for a dressing, or for any dict with its fields."""
    return [f"{kind}={value}" for field, kind in ITEM_KINDS.items()
            for value in fields.get(field, [])]


def guest_fields(name):
    """The Guest fields that dress a Wine guest as the dressing `name`."""
    return {field: list(DRESSINGS[name][field]) for field in ITEM_KINDS}


def _call(run, *args):
    status, _, stderr = run(*args)
    if status != 0:
        text = " ".join(stderr.decode(errors="replace").split())
        raise DressingFailed(text or f"the dresser ended with status {status}")


def dress(run, dresser, folder, fields):
    """run(program, *args) -> (status, stdout, stderr) runs a Windows program
    on the machine; `folder` is the dresser's record folder there."""
    _call(run, dresser, "dress", folder, *items(fields))


def undress(run, dresser, folder):
    _call(run, dresser, "undress", folder)


def _place(line):
    """Where a line goes: its step, then its text in the steps that walk a
    table (the adapters come in the order the machine lists them)."""
    step = next((index + 1 for index, words in enumerate(STEPS) if line.startswith(words)), 0)
    return step, line if step and STEPS[step - 1] != "VM MAC prefix on NIC: " else ""


def expected_evidence(undressed, dressed):
    """The undressed findings with the dressed ones in their places: the
    identity first as it was, then each probe's findings in its table's
    order, which is the order of the lines themselves. A finding the machine
    had already stands once."""
    lines = list(undressed)
    lines += [line for line in dressed if line not in undressed]
    return sorted(lines, key=_place)


def weight(line):
    for words, value in WEIGHTS.items():
        if line.startswith(words):
            return value
    raise ValueError(f"a finding of no known kind: {line!r}")


def expected_report(undressed, name):
    """The verdict, vendor, confidence and evidence that the machine whose
    undressed report is `undressed` must give once dressed as `name`. The
    undressed findings count for the vendor that report names: on the
    runners they all point to one hypervisor."""
    dressing = DRESSINGS[name]
    evidence = expected_evidence(undressed["evidence"], dressing["evidence"])
    tallies = {}
    for line in evidence:
        vendor = undressed["vendor"] if line in undressed["evidence"] else dressing["vendor"]
        tallies[vendor] = tallies.get(vendor, 0) + weight(line)
    tallies.pop("Unknown", None)
    total = sum(weight(line) for line in evidence)
    vendor = min(tallies, key=lambda v: (-tallies[v], v)) if tallies else "Unknown"
    return {"isVirtualMachine": total >= 30, "vendor": vendor, "confidence": min(total, 100),
            "evidence": evidence}
