"""What the exe is and what a run leaves behind, seen from outside."""
import os
import re
import subprocess
import unittest

from report import STATUS_NOT_VM, parse_report
from wineprefix import WinePrefix

# Windows' own DLLs; anything else (a C++ or threads runtime) could be
# planted beside the exe by whoever controls the folder it runs from.
SYSTEM_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll"}


def pe_headers(exe):
    objdump = "x86_64-w64-mingw32-objdump"
    return subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout


def drive_listing(prefix):
    """Every path under drive_c with its size, to tell whether a run wrote."""
    root = prefix.path / "drive_c"
    listing = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            listing[os.path.relpath(path, root)] = os.lstat(path).st_size
        listing[os.path.relpath(folder, root)] = "folder"
    return listing


class Executable(unittest.TestCase):
    def test_imports_windows_system_dlls_only(self):
        imports = re.findall(r"DLL Name: (\S+)", pe_headers(os.environ["GUESTWISE_EXE"]))
        self.assertTrue(imports)
        self.assertLessEqual({name.lower() for name in imports}, SYSTEM_DLLS, imports)

    def test_relocatable_with_aslr_and_dep(self):
        headers = pe_headers(os.environ["GUESTWISE_EXE"])
        flags = re.search(r"DllCharacteristics\s+([0-9a-fA-F]+)", headers)
        value = int(flags.group(1), 16)
        self.assertEqual(value & 0x0020, 0x0020, "HIGH_ENTROPY_VA missing")
        self.assertEqual(value & 0x0040, 0x0040, "DYNAMIC_BASE missing")
        self.assertEqual(value & 0x0100, 0x0100, "NX_COMPAT missing")
        characteristics = int(re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", headers,
                                        re.M).group(1), 16)
        self.assertEqual(characteristics & 0x0001, 0, "relocations stripped")
        self.assertRegex(headers, r"Entry 5 [0-9a-f]+ [0-9a-f]*[1-9a-f][0-9a-f]* Base Relocation")


class Run(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = WinePrefix()
        cls.prefix.run_guestwise()  # the first run in a prefix starts Wine's services

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()

    def test_writes_only_the_report_and_creates_no_file(self):
        before = drive_listing(self.prefix)
        status, out, err = self.prefix.run_guestwise()
        self.assertEqual(drive_listing(self.prefix), before)
        self.assertEqual(err, b"")
        self.assertEqual(status, STATUS_NOT_VM)
        parse_report(out)

    def test_odd_command_lines_are_ignored(self):
        # Windows carries at most 32,767 characters of command line, so the
        # longest single argument that can reach a program is a little less.
        for name, args in [("long argument", ["x" * 32000]),
                           ("many arguments", [f"arg{i}" for i in range(1000)]),
                           ("bytes above 0x7F", ["\u00e9\u00ff-h", "--h\u00e9lp"]),
                           ("empty argument", ["", "-", "--"])]:
            with self.subTest(name):
                status, out, err = self.prefix.run_guestwise(*args)
                self.assertEqual(err, b"")
                self.assertEqual(status, STATUS_NOT_VM)
                report = parse_report(out)
                self.assertEqual((report["vendor"], report["error"]), ("Unknown", None))


if __name__ == "__main__":
    unittest.main()
