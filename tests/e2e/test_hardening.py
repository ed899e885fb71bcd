"""What the exes are and what a run leaves behind, seen from outside."""
import os
import re
import subprocess
import unittest

from guest import Machine
from release import PROGRAMS
from report import STATUS_NOT_VM, parse_report

# Windows' own DLLs; anything else (a C++ or threads runtime) could be
# planted beside the exe by whoever controls the folder it runs from.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll"}


# What link.exe sets for a console program unless told otherwise, in
# DllCharacteristics: HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT and
# TERMINAL_SERVER_AWARE (without which a Remote Desktop Session Host gives
# the program the user's private Windows folder).
LINK_EXE_CONSOLE_DEFAULTS = 0x0020 | 0x0040 | 0x0100 | 0x8000


def pe_headers(exe):
    objdump = "x86_64-w64-mingw32-objdump"
    return subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout


class Executable(unittest.TestCase):
    def test_imports_windows_system_dlls_only(self):
        for exe in PROGRAMS.values():
            with self.subTest(exe=exe):
                imports = re.findall(r"DLL Name: (\S+)", pe_headers(os.environ[exe]))
                self.assertTrue(imports)
                self.assertLessEqual({name.lower() for name in imports}, SYSTEM_DLLS, imports)

    def test_relocatable_with_the_flags_of_microsofts_linker(self):
        for exe in PROGRAMS.values():
            with self.subTest(exe=exe):
                self.check_relocatable_with_the_flags_of_microsofts_linker(
                    pe_headers(os.environ[exe]))

    def check_relocatable_with_the_flags_of_microsofts_linker(self, headers):
        flags = re.search(r"DllCharacteristics\s+([0-9a-fA-F]+)", headers)
        self.assertEqual(int(flags.group(1), 16), LINK_EXE_CONSOLE_DEFAULTS,
                         f"DllCharacteristics {flags.group(1)}")
        characteristics = int(re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", headers,
                                        re.M).group(1), 16)
        self.assertEqual(characteristics & 0x0001, 0, "relocations stripped")
        self.assertEqual(characteristics & 0x0020, 0x0020, "not LARGE_ADDRESS_AWARE")
        self.assertRegex(headers, r"Entry 5 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Base Relocation")


class Run(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.machine = Machine()
        cls.machine.run_guestwise()  # the first run on a machine starts Wine's services

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()

    def test_writes_only_the_report_and_creates_no_file(self):
        before = self.machine.listing()
        run = self.machine.run_guestwise()
        self.assertEqual(self.machine.listing(), before)
        self.assertEqual(run.stderr, b"")
        self.assertEqual(run.status, STATUS_NOT_VM)
        parse_report(run.stdout)

    def test_odd_command_lines_are_ignored(self):
        # Windows carries at most 32,767 characters of command line, so the
        # longest single argument that can reach a program is a little less.
        for name, args in [("long argument", ["x" * 32000]),
                           ("many arguments", [f"arg{i}" for i in range(1000)]),
                           ("bytes above 0x7F", ["\u00e9\u00ff-h", "--h\u00e9lp"]),
                           ("empty argument", ["", "-", "--"])]:
            with self.subTest(name):
                run = self.machine.run_guestwise(*args)
                self.assertEqual(run.stderr, b"")
                self.assertEqual(run.status, STATUS_NOT_VM)
                report = parse_report(run.stdout)
                self.assertEqual((report["vendor"], report["error"]), ("Unknown", None))


if __name__ == "__main__":
    unittest.main()
