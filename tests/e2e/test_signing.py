"""A signed release, made as a publisher would: a build configured with a
code-signing certificate and key (here a throw-away self-signed pair) signs
the three programs in its zip, and nothing else changes."""
import os
import tempfile
import unittest
import zipfile
from pathlib import Path

from guest import Guest, Machine
from release import PROGRAMS, ZIP_NAME, run
from report import STATUS_VM, parse_report, report_text

SOURCE_DIR = Path(__file__).resolve().parents[2]


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="guestwise-signed-")
        scratch = Path(cls.scratch.name)
        cls.cert, key = scratch / "cert.pem", scratch / "key.pem"
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
            "-subj", "/CN=Guestwise throw-away signing", "-addext",
            "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cls.cert)
        # A build of its own, in another folder: the build under test stays
        # unsigned, as a release built without a certificate is.
        build = scratch / "build"
        run(os.environ["GUESTWISE_CMAKE"], "-S", SOURCE_DIR, "-B", build,
            f"-DCMAKE_TOOLCHAIN_FILE={os.environ['GUESTWISE_TOOLCHAIN_FILE']}",
            "-DCMAKE_BUILD_TYPE=Release", f"-DGUESTWISE_SIGNING_CERT={cls.cert}",
            f"-DGUESTWISE_SIGNING_KEY={key}")
        run(os.environ["GUESTWISE_CMAKE"], "--build", build, "-j", str(os.cpu_count()),
            "--target", *[name.removesuffix(".exe") for name in PROGRAMS])
        run(os.environ["GUESTWISE_CPACK"], "--config", build / "CPackConfig.cmake",
            "-B", scratch / "package")
        cls.unpacked = scratch / "unpacked"
        with zipfile.ZipFile(scratch / "package" / ZIP_NAME) as archive:
            archive.extractall(cls.unpacked)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def test_each_program_is_signed_by_the_certificate(self):
        for name in PROGRAMS:
            with self.subTest(exe=name):
                verified = run("osslsigncode", "verify", "-CAfile", self.cert,
                               "-in", self.unpacked / name)
                print(name, verified, sep="\n")
                self.assertIn("Subject: /CN=Guestwise throw-away signing", verified)
                self.assertIn("Signature verification: ok", verified)

    def test_checksums_are_of_the_signed_programs(self):
        checked = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=self.unpacked)
        print(checked)
        for name in PROGRAMS:
            self.assertIn(f"{name}: OK", checked.splitlines())

    def test_removing_the_signature_gives_back_the_unsigned_build(self):
        for name, built in PROGRAMS.items():
            with self.subTest(exe=name):
                unsigned = Path(self.scratch.name) / f"unsigned-{name}"
                run("osslsigncode", "remove-signature", "-in", self.unpacked / name,
                    "-out", unsigned)
                signed = (self.unpacked / name).read_bytes()
                self.assertNotEqual(signed, Path(os.environ[built]).read_bytes())
                self.assertEqual(unsigned.read_bytes(), Path(os.environ[built]).read_bytes())

    def test_signed_guestwise_reports_as_the_unsigned_one(self):
        guest = Guest(smbios={"sys_vendor": "QEMU", "product_name": "Standard PC (i440FX)"},
                      adapters=[["eth0", "52:54:00:12:34:56"]], processes=["qemu-ga.exe"])
        with Machine(guest) as machine:
            unsigned = machine.run_guestwise()
            signed = machine.run_guestwise(exe=self.unpacked / "Guestwise.exe")
        print(signed.stdout.decode())
        self.assertEqual(len(parse_report(signed.stdout)["evidence"]), 4)
        self.assertEqual(report_text(signed.stdout.decode()), report_text(unsigned.stdout.decode()))
        self.assertEqual((signed.status, signed.stderr), (unsigned.status, unsigned.stderr))
        self.assertEqual(signed.status, STATUS_VM)


if __name__ == "__main__":
    unittest.main()
