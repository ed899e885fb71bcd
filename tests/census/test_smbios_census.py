"""smbios_census on the committed data (data/smbios-identities.tsv.gz) and on
identities given on standard input.

The figures below are what the census measured on that data with the
tables of this commit; a change of the tables or of the identity probes
that moves them shows here, and the README's table of false verdicts and
docs/census.md must follow.
"""
import json
import os
import subprocess
import time
import unittest

SYSTEM = "Win32_ComputerSystem.Manufacturer = "
BOARD = "Win32_BaseBoard.Manufacturer = "


def family(machines, vendor, confidence, *evidence):
    return {"machines": machines, "vendor": vendor, "confidence": confidence,
            "evidence": list(evidence)}


# Most machines first.
VIRTUAL_MACHINE_FAMILIES = [
    family(457, "Hyper-V", 40, SYSTEM + "Microsoft Corporation", BOARD + "Microsoft Corporation"),
    family(424, "Google Cloud", 40, SYSTEM + "Google", BOARD + "Google"),
    family(370, "Google Cloud", 40, SYSTEM + "GOOGLE", BOARD + "GOOGLE"),
    family(6, "VirtualBox", 40, SYSTEM + "Oracle Corporation", BOARD + "Oracle Corporation"),
    family(3, "QEMU", 45, SYSTEM + "QEMU",
           "Win32_ComputerSystem.Model = Standard PC (Q35 + ICH9, 2009)"),
]
BELOW_VERDICT_FAMILIES = [
    family(24, "Google Cloud", 25, SYSTEM + "Google"),
    family(23, "Google Cloud", 25, SYSTEM + "GOOGLE"),
    family(11, "KVM", 20, "Win32_ComputerSystem.Model = KVM"),
    family(5, "Xen", 25, SYSTEM + "XENTA"),
    family(4, "Xen", 15, BOARD + "Notebook"),
    family(2, "Xen", 15, BOARD + "CLEVO"),
    family(2, "Xen", 15, BOARD + "LG Electronics"),
    family(1, "Xen", 15, BOARD + "TUXEDO"),
    family(1, "VirtualBox", 25, SYSTEM + "Oracle Corporation"),
    family(1, "Bochs", 20, "Win32_ComputerSystem.Model = Bochs"),
]


def census(*args, stdin=b""):
    return subprocess.run([os.environ["SMBIOS_CENSUS"], *args], input=stdin,
                          capture_output=True, timeout=120)


class OnTheData(unittest.TestCase):
    def test_totals_and_families(self):
        start = time.monotonic()
        run = census("--json", os.environ["SMBIOS_DATA"])
        print(f"census of the data: {time.monotonic() - start:.2f} s wall")
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        result = json.loads(run.stdout)
        self.assertEqual((result["machines"], result["identities"], result["virtualMachines"]),
                         (162853, 42212, 1260))
        self.assertEqual(result["families"], VIRTUAL_MACHINE_FAMILIES)
        self.assertEqual(result["belowVerdict"], BELOW_VERDICT_FAMILIES)

    def test_text_gives_the_share(self):
        run = census(os.environ["SMBIOS_DATA"])
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        lines = run.stdout.decode().splitlines()
        self.assertEqual(lines[:2], [
            "162853 machines, 42212 identities",
            "1260 called a virtual machine by their identity alone (0.77 %, 1 in 129)"])
        self.assertEqual(lines[3:7], [
            "Called a virtual machine, most machines first:", "",
            "457 machines: Hyper-V, confidence 40",
            "  " + SYSTEM + "Microsoft Corporation"])


class OnStandardInput(unittest.TestCase):
    def test_five_or_six_columns_crlf_and_gzip(self):
        surface = b"Microsoft Corporation\tSurface Pro 3\tAmerican Megatrends Inc.\t" \
                  b"Microsoft Corporation\tSurface Pro 3"
        incus = b"3\tQEMU\tStandard PC (Q35 + ICH9, 2009)\tEDK II\tLinuxContainers\tIncus"
        dell = b"2\tDell Inc.\tOptiPlex 7090\tDell Inc.\tDell Inc.\t0K6CP2"
        text = surface + b"\r\n" + incus + b"\n" + dell + b"\n"
        expected = {"machines": 6, "identities": 3, "virtualMachines": 4,
                    "families": [VIRTUAL_MACHINE_FAMILIES[4],
                                 {**VIRTUAL_MACHINE_FAMILIES[0], "machines": 1}],
                    "belowVerdict": []}
        gzipped = subprocess.run(["gzip", "-c"], input=text, capture_output=True, check=True)
        for name, stdin in [("plain", text), ("gzip", gzipped.stdout)]:
            with self.subTest(input=name):
                run = census("--identity", "--json", stdin=stdin)
                self.assertEqual((run.returncode, run.stderr), (0, b""))
                self.assertEqual(json.loads(run.stdout), expected)

    def test_a_line_that_is_no_identity_is_refused_by_its_number(self):
        good = b"a\tb\tc\td\te\n"
        for stdin, error in [
                (good + b"a\tb\tc\td\n",
                 "line 2: 4 tab-separated fields; an identity has 5, or 6 with the count first"),
                (good + good + b"\n",
                 "line 3: 1 field; an identity has 5, or 6 with the count first"),
                (b"0\ta\tb\tc\td\te\n", 'line 1: the count "0" is not a whole number from 1'),
                (b"-1\ta\tb\tc\td\te\n", 'line 1: the count "-1" is not a whole number from 1'),
                (b"99999999999999999999\ta\tb\tc\td\te\n",
                 'line 1: the count "99999999999999999999" is not a whole number from 1')]:
            with self.subTest(stdin=stdin):
                run = census("--identity", stdin=stdin)
                self.assertEqual((run.returncode, run.stdout, run.stderr.decode()),
                                 (2, b"", f"smbios_census: {error}\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
