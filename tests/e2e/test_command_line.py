"""The real Guestwise.exe under Wine: options, report, exit status."""
import unittest

from report import HELP, STATUS_NOT_VM, VERSION, parse_report
from guest import Machine


class CommandLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.machine = Machine()  # a plain machine: nothing to find

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()

    def run_exe(self, *args):
        run = self.machine.run_guestwise(*args)
        self.assertEqual(run.stderr, b"", "Guestwise wrote to stderr")
        return run.status, run.stdout

    def test_help_and_version_texts(self):
        for args, expected in [(["-h"], HELP), (["--help"], HELP), (["foo", "-h"], HELP),
                               (["-h", "-v"], HELP), (["-v"], VERSION),
                               (["--version"], VERSION), (["-v", "-h"], VERSION)]:
            with self.subTest(args=args):
                self.assertEqual(self.run_exe(*args), (0, expected))

    def test_unmatched_arguments_run_one_detection(self):
        for args in [[], ["--HELP"], ["-V", "/?", ""]]:
            with self.subTest(args=args):
                status, out = self.run_exe(*args)
                self.assertEqual(status, STATUS_NOT_VM)
                report = parse_report(out)
                self.assertEqual(report["isVirtualMachine"], False)
                self.assertEqual(report["vendor"], "Unknown")
                self.assertEqual(report["confidence"], 0)
                self.assertEqual(report["evidence"], [])
                self.assertIsInstance(report["detectionTimeMs"], int)
                self.assertGreaterEqual(report["detectionTimeMs"], 0)
                self.assertIsNone(report["error"])


if __name__ == "__main__":
    unittest.main()
