"""No DLL planted beside any of the shipped exes gets loaded.

Guestwise is often run from a folder that others can write to, such as
Downloads, and a system component that loads a DLL by bare name at run time
would find one planted there first. This learns which DLLs a run loads after
its entry point, plants a marker DLL under each of those names beside a copy
of the exe, runs it from that folder with native DLLs preferred for those
names, and fails if any module is loaded from the folder, the marker's
DllMain ran, or the run answers otherwise than an unplanted one.

The exe's static imports (and what they import) are loaded before its entry
point, before it can restrict anything, and Wine does not protect the KnownDLL
names among them, so they are left out of the plant.
"""
import os
import re
import struct
import unittest
from pathlib import Path, PureWindowsPath

from guest import Guest, Machine
from report import parse_facts, parse_report, report_text

FOLDER = "C:\\Downloads"
ENTRY_FOLDER = "C:\\entry-returns"
FACTS = FOLDER + "\\facts.json"
MARKER = "C:\\planted-dll-loaded.txt"  # plant_marker.cc writes it

# Something for the WMI queries to find (all but the disk's, whose model is
# Wine's own), so that a plant that broke one of them would change the report.
QEMU = Guest(smbios={"sys_vendor": "QEMU", "product_name": "Standard PC (Q35 + ICH9, 2009)",
                     "bios_vendor": "QEMU", "board_vendor": "QEMU"},
             adapters=[["eth0", "52:54:00:12:34:56"]])


def entry_returns_at_once(image):
    """The same PE image with its entry point moved onto a `ret` in its code:
    the loader does all it does before the entry point, then the run ends."""
    image = bytearray(image)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0", "not a PE image"
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    entry_field = pe + 24 + 16  # AddressOfEntryPoint in the optional header
    for header in range(pe + 24 + optional_size, pe + 24 + optional_size + 40 * sections, 40):
        virtual_size, rva, raw_size, raw = struct.unpack_from("<IIII", image, header + 8)
        executable = struct.unpack_from("<I", image, header + 36)[0] & 0x20000000
        ret = image.find(b"\xc3", raw, raw + min(raw_size, virtual_size)) if executable else -1
        if ret >= 0:
            struct.pack_into("<I", image, entry_field, rva + ret - raw)
            return bytes(image)
    raise ValueError("no ret instruction in the image's code")


def loaded_modules(stderr):
    """The Windows paths of the modules that WINEDEBUG=+loaddll saw loaded."""
    paths = re.findall(r'trace:loaddll:\w+ Loaded L"([^"]+)"', stderr.decode("utf-8", "replace"))
    return [path.replace("\\\\", "\\") for path in paths]


def names(paths):
    return [PureWindowsPath(path).name.lower() for path in paths]


def override_name(dll):
    # Wine names a .dll without its extension, any other module with it.
    return dll[:-4] if dll.endswith(".dll") else dll


class DllPlanting(unittest.TestCase):
    def test_no_dll_planted_beside_an_exe_is_loaded(self):
        with Machine(QEMU) as machine:
            machine.run_guestwise()  # the first run on a machine starts Wine's services
            machine.make_file(FACTS, machine.wine(os.environ["GUESTWISE_FACTS_EXE"]).stdout)
            # GuestwiseReplay.exe loads nothing after its entry point, so it
            # gets what the other two load as well.
            loaded_late = []
            for exe, args, parse in [("GUESTWISE_EXE", [], parse_report),
                                     ("GUESTWISE_FACTS_EXE", [], parse_facts),
                                     ("GUESTWISE_REPLAY_EXE", [FACTS], parse_report)]:
                with self.subTest(exe=exe):
                    run, unplanted = self.plant(machine, Path(os.environ[exe]), args, loaded_late)
                    self.assertEqual(run.status, unplanted.status)
                    self.assertEqual(report_text(run.stdout.decode()),
                                     report_text(unplanted.stdout.decode()))
                    parse(run.stdout)

    def plant(self, machine, path, args, loaded_late):
        """Runs a copy of the exe in a folder of its own, unplanted and then
        with every DLL it or an exe before it loads after its entry point
        planted beside it."""
        folder = f"{FOLDER}\\{path.stem}"
        exe = f"{folder}\\{path.name}"
        machine.make_file(exe, path.read_bytes())
        machine.make_file(f"{ENTRY_FOLDER}\\{path.name}", entry_returns_at_once(path.read_bytes()))
        unplanted = machine.wine(exe, *args, winedebug="+loaddll", cwd=folder)
        before_entry = machine.wine(f"{ENTRY_FOLDER}\\{path.name}", winedebug="+loaddll",
                                    cwd=ENTRY_FOLDER)
        static = set(names(loaded_modules(before_entry.stderr)))
        self.assertIn("kernel32.dll", static, "the copy did not get as far as its imports")
        loaded_late += [dll for dll in dict.fromkeys(names(loaded_modules(unplanted.stderr)))
                        if dll not in static and dll not in loaded_late]
        planted = [dll for dll in loaded_late if dll not in static]
        self.assertIn("wbemprox.dll", planted)
        print(f"planted beside {path.name}: {' '.join(planted)}")

        marker = Path(os.environ["GUESTWISE_PLANT_MARKER"]).read_bytes()
        for dll in planted:
            machine.make_file(f"{folder}\\{dll}", marker)
        overrides = ",".join(override_name(dll) for dll in planted) + "=n,b"
        run = machine.wine(exe, *args, winedebug="+loaddll", cwd=folder, dll_overrides=overrides)
        from_folder = [module for module in names(
            m for m in loaded_modules(run.stderr)
            if PureWindowsPath(m).parent == PureWindowsPath(folder)) if module != path.name.lower()]
        self.assertEqual(from_folder, [], "loaded from the exe's folder")
        self.assertIsNone(machine.read_file(MARKER), "a planted DllMain ran")
        return run, unplanted


if __name__ == "__main__":
    unittest.main()
