"""The real Guestwise.exe under Wine, on a plain machine and one carrying guest traces."""
import json
import unittest

from guest import Guest, Machine, run_guest
from report import STATUS_NOT_VM, STATUS_VM, parse_report, report_text

VIRTUALBOX_REPORT = r'''{
  "isVirtualMachine": true,
  "vendor": "VirtualBox",
  "confidence": 100,
  "evidence": [
    "Registry key exists: HKLM\\SOFTWARE\\Oracle\\VirtualBox Guest Additions",
    "Registry key exists: HKLM\\SYSTEM\\CurrentControlSet\\Services\\VBoxGuest",
    "VM process detected: VBoxService.exe",
    "VM process detected: VBoxTray.exe",
    "VM guest driver detected: VBoxGuest.sys",
    "VM guest driver detected: VBoxMouse.sys",
    "VM file/folder detected: C:\\Program Files\\Oracle\\VirtualBox Guest Additions"
  ],
  "detectionTimeMs": T,
  "error": null
}'''

VIRTUALBOX_EVIDENCE = json.loads(VIRTUALBOX_REPORT.replace(": T,", ": 0,"))["evidence"]


def checked(run):
    assert run.stderr == b"", f"Guestwise wrote to stderr: {run.stderr!r}"
    text = run.stdout.decode("utf-8").replace("\r\n", "\n").rstrip("\n")
    return run.status, parse_report(run.stdout), text


# Keys, a driver file, a driver that is a folder (it counts too), the
# guest-additions folder and the tools running, one of them twice in
# another case; a VirtualBox key that is no guest trace.
VIRTUALBOX_TRACES = Guest(
    registry_keys=["SOFTWARE\\Oracle\\VirtualBox Guest Additions",
                   "SYSTEM\\CurrentControlSet\\Services\\VBoxGuest",
                   "SOFTWARE\\Oracle\\VirtualBox"],
    files=["C:\\windows\\system32\\drivers\\VBoxGuest.sys"],
    folders=["C:\\windows\\system32\\drivers\\VBoxMouse.sys",
             "C:\\Program Files\\Oracle\\VirtualBox Guest Additions"],
    processes=["VBoxTray.exe", "VBoxService.exe", "vboxservice.exe"])


class Probes(unittest.TestCase):
    def test_clean_prefix_is_not_a_virtual_machine(self):
        status, report, _ = checked(run_guest(Guest()))
        self.assertEqual(status, STATUS_NOT_VM)
        self.assertEqual((report["isVirtualMachine"], report["vendor"], report["confidence"],
                          report["evidence"], report["error"]), (False, "Unknown", 0, [], None))

    def test_virtualbox_traces_give_the_exact_report(self):
        with Machine(VIRTUALBOX_TRACES) as machine:
            status, report, text = checked(machine.run_guestwise())
            print(text)  # the report as printed, for the record of the run
            self.assertEqual(report_text(text), VIRTUALBOX_REPORT)
            self.assertEqual(status, STATUS_VM)

            # With WMI switched off the warning leads and the rest still scores.
            status, report, _ = checked(machine.run_guestwise(dll_overrides="wbemprox=d"))
            self.assertEqual(report["evidence"][0], "[Warning] WMI initialization failed")
            self.assertEqual(report["evidence"][1:], VIRTUALBOX_EVIDENCE)
            self.assertEqual((status, report["vendor"], report["confidence"]),
                             (STATUS_VM, "VirtualBox", 100))

    def test_without_wmi_a_clean_prefix_shows_only_the_warning(self):
        status, report, _ = checked(run_guest(Guest(), dll_overrides="wbemprox=d"))
        self.assertEqual(status, STATUS_NOT_VM)
        self.assertEqual(report["evidence"], ["[Warning] WMI initialization failed"])
        self.assertEqual((report["vendor"], report["confidence"]), ("Unknown", 0))


if __name__ == "__main__":
    unittest.main()
