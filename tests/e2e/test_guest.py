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
# it).
SERVER_FOLDERS = """
import os
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        if open(f"/proc/{pid}/comm").read().startswith("wineserver"):
            print(os.readlink(f"/proc/{pid}/cwd"))
    except OSError:
        pass
"""


class WineServers(unittest.TestCase):
    def test_each_machine_has_a_server_folder_that_no_other_sees(self):
        with Machine() as first, Machine() as second:
            for machine, other in ((first, second), (second, first)):
                run = machine.within(sys.executable, "-c", SERVER_FOLDERS)
                folders = run.stdout.decode().splitlines()
                self.assertEqual((run.status, len(folders)), (0, 1), run)
                self.assertEqual(machine.within("test", "-d", folders[0]).status, 0)
                self.assertFalse(os.path.exists(folders[0]), f"the build machine sees {folders}")
                self.assertNotEqual(other.within("test", "-e", folders[0]).status, 0,
                                    f"the other machine sees {folders}")


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
