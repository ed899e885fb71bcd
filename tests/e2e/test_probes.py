"""The real Guestwise.exe under Wine, on prefixes carrying guest traces."""
import json
import unittest

from report import STATUS_NOT_VM, STATUS_VM, parse_report, report_text
from wineprefix import WinePrefix

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


def run(prefix, dll_overrides=None):
    status, out, err = prefix.run_guestwise(dll_overrides=dll_overrides)
    assert err == b"", f"Guestwise wrote to stderr: {err!r}"
    return status, parse_report(out), out.decode("utf-8").replace("\r\n", "\n").rstrip("\n")


def dress_as_virtualbox_guest(prefix):
    prefix.add_registry_key("SOFTWARE\\Oracle\\VirtualBox Guest Additions")
    prefix.add_registry_key("SYSTEM\\CurrentControlSet\\Services\\VBoxGuest")
    prefix.add_registry_key("SOFTWARE\\Oracle\\VirtualBox")  # not a guest trace
    prefix.make_file("C:\\windows\\system32\\drivers\\VBoxGuest.sys")
    prefix.make_folder("C:\\windows\\system32\\drivers\\VBoxMouse.sys")  # a folder counts too
    prefix.make_folder("C:\\Program Files\\Oracle\\VirtualBox Guest Additions")
    prefix.start_processes(["VBoxTray.exe", "VBoxService.exe", "vboxservice.exe"])


class Probes(unittest.TestCase):
    def test_clean_prefix_is_not_a_virtual_machine(self):
        with WinePrefix() as prefix:
            status, report, _ = run(prefix)
        self.assertEqual(status, STATUS_NOT_VM)
        self.assertEqual((report["isVirtualMachine"], report["vendor"], report["confidence"],
                          report["evidence"], report["error"]), (False, "Unknown", 0, [], None))

    def test_virtualbox_traces_give_the_exact_report(self):
        with WinePrefix() as prefix:
            dress_as_virtualbox_guest(prefix)
            status, report, text = run(prefix)
            print(text)  # the report as printed, for the record of the run
            self.assertEqual(report_text(text), VIRTUALBOX_REPORT)
            self.assertEqual(status, STATUS_VM)

            # With WMI switched off the warning leads and the rest still scores.
            status, report, _ = run(prefix, dll_overrides="wbemprox=d")
            self.assertEqual(report["evidence"][0], "[Warning] WMI initialization failed")
            self.assertEqual(report["evidence"][1:], VIRTUALBOX_EVIDENCE)
            self.assertEqual((status, report["vendor"], report["confidence"]),
                             (STATUS_VM, "VirtualBox", 100))

    def test_without_wmi_a_clean_prefix_shows_only_the_warning(self):
        with WinePrefix() as prefix:
            status, report, _ = run(prefix, dll_overrides="wbemprox=d")
        self.assertEqual(status, STATUS_NOT_VM)
        self.assertEqual(report["evidence"], ["[Warning] WMI initialization failed"])
        self.assertEqual((report["vendor"], report["confidence"]), ("Unknown", 0))


if __name__ == "__main__":
    unittest.main()
