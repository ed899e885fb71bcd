"""The machines of guest.py: what each keeps to itself, and what it shares
with the build machine at the same path."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from guest import Machine, boot_template
from report import STATUS_NOT_VM, parse_report

# Run in a machine: the folder of each wineserver there (the server works in
# it), with its device and inode.
SERVER_FOLDERS = """
import os
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        if open(f"/proc/{pid}/comm").read().startswith("wineserver"):
            folder = os.readlink(f"/proc/{pid}/cwd")
            print(folder, os.stat(folder).st_dev, os.stat(folder).st_ino)
    except OSError:
        pass
"""
# Run in a machine with a path: its device and inode, or nothing.
IDENTITY = """
import os, sys
try:
    print(os.stat(sys.argv[1]).st_dev, os.stat(sys.argv[1]).st_ino)
except OSError:
    pass
"""


def identity(path, machine=None):
    """(device, inode) of `path` as the machine, or the build machine, sees
    it; None where it sees no such path."""
    if machine is None:
        seen = os.stat(path) if os.path.exists(path) else None
        return seen and (seen.st_dev, seen.st_ino)
    words = machine.within(sys.executable, "-c", IDENTITY, path).stdout.split()
    return tuple(map(int, words)) or None


class WineServers(unittest.TestCase):
    def test_each_machine_has_a_server_folder_that_no_other_sees(self):
        with Machine() as first, Machine() as second:
            for machine, other in ((first, second), (second, first)):
                run = machine.within(sys.executable, "-c", SERVER_FOLDERS)
                lines = run.stdout.decode().splitlines()
                self.assertEqual((run.status, len(lines)), (0, 1), run)
                path, device, inode = lines[0].rsplit(" ", 2)
                self.assertEqual(identity(path, machine), (int(device), int(inode)))
                for where, seer in (("the build machine", None), ("the other machine", other)):
                    self.assertNotEqual(identity(path, seer), (int(device), int(inode)),
                                        f"{where} sees {path}")


class Checkout(unittest.TestCase):
    def test_a_build_folder_under_tmp_behind_a_link_boots_and_is_seen(self):
        with tempfile.TemporaryDirectory(prefix="guestwise é ", dir="/tmp") as scratch:
            build = Path(scratch) / "link"
            build.symlink_to(Path(scratch) / "build")
            build.resolve().mkdir()
            boot_template(build / "template")
            exe = build / "Guestwise.exe"
            shutil.copy(os.environ["GUESTWISE_EXE"], exe)
            with Machine(template=build / "template") as machine:
                run = machine.run_guestwise(exe=exe)
        self.assertEqual((run.status, run.stderr), (STATUS_NOT_VM, b""))
        self.assertEqual(parse_report(run.stdout)["error"], None)

    def test_a_path_that_cmake_cannot_take_is_named_before_anything_runs(self):
        script = Path(__file__).resolve().parents[2] / "scripts" / "checkout.sh"
        for name, refused in [("a b é 'q' $x (1) ,~", None), ("a:b", "':'"), ("a${x}b", "'${'"),
                              ("a\nb", "a line break")]:
            with self.subTest(name=name), tempfile.TemporaryDirectory() as scratch:
                (Path(scratch) / name).mkdir()
                checked = subprocess.run(["bash", "-c", 'source "$0"; require_buildable_checkout',
                                          script], cwd=Path(scratch) / name,
                                         capture_output=True, text=True)
                lines = checked.stderr.splitlines()
                self.assertEqual(checked.returncode, 1 if refused else 0, checked)
                self.assertEqual(len(lines), 1 if refused else 0, lines)
                if refused:
                    self.assertTrue(lines[0].startswith(f"checkout: its path holds {refused},"))


if __name__ == "__main__":
    unittest.main()
