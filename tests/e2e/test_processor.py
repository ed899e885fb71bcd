"""GuestwiseFacts.exe's processor section under Wine, where CPUID is the
build machine's own processor, which no test can dress: the section must be
what the tests' own decoder makes of that processor's registers, read by a
native program with the same user-mode instruction. So it holds on any build
machine, bare or virtual, whatever its kernel was told."""
import json
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

from cpuid import (READER_ARGUMENTS, expected_section, parse_registers, recorded_registers,
                   section_difference)
from guest import Machine
from report import STATUS_NOT_VM, parse_facts

SEED = Path(__file__).resolve().parents[2] / "fuzz" / "facts_seeds" / "hyper-v-identity-on-kvm.json"


def word(text):
    """Four bytes of a CPUID text as its register holds them."""
    return int.from_bytes(text.encode("latin-1"), "little")


HV = (0x4000000b, word("Micr"), word("osof"), word("t Hv"))
KVM = (word("KVMK"), word("VMKV"), word("M\0\0\0"))
# Processors that no build machine may be: each leaf's registers.
PROCESSORS = {
    "Zhaoxin, without brand leaves": {0: (1, word("  Sh"), word("ai  "), word("angh")),
                                      0x80000000: (0x80000001, 0, 0, 0)},
    "blank brand leaves, the APIC ID's top bit set": {
        0: (1, word("Genu"), word("ntel"), word("ineI")), 1: (0x806ea, 0x85100800, 0, 0),
        0x80000000: (0x80000004, 0, 0, 0), 0x80000002: (word("    "),) * 4,
        0x80000003: (word("    "),) * 4, 0x80000004: (word("    "),) * 4},
    "KVM, whose leaf 0x40000001 holds feature bits": {
        0: (1, 0, 0, 0), 1: (0, 0, 1 << 31, 0), 0x40000000: (0x40000001, *KVM),
        0x40000001: (0x01007efb, 0, 0, 0)},
    "KVM behind Hyper-V's interface": {0: (1, 0, 0, 0), 1: (0, 0, 1 << 31, 0), 0x40000000: HV,
                                       0x40000001: (word("Hv#1"), 0, 0, 0),
                                       0x40000003: (0, 0x30, 0, 0),
                                       0x40000100: (0x40000101, *KVM)},
    "Hyper-V's root partition, a next range that is not one": {
        0: (1, 0, 0, 0), 1: (0, 0, 1 << 31, 0), 0x40000000: (0x40000003, *HV[1:]),
        0x40000001: (word("Hv#1"), 0, 0, 0), 0x40000003: (0, 0x2bfff, 0, 0),
        0x40000100: (0x40000200, *KVM)},
}


def native_registers():
    """The registers that tests/native/cpuid_leaves reads; a missing reader
    fails the test, saying so."""
    path = Path(os.environ["GUESTWISE_CPUID_NATIVE"])
    if not os.access(path, os.X_OK):
        raise AssertionError(f"no native cpuid_leaves at {path}; cmake --build --preset windows "
                             "builds it")
    return parse_registers(subprocess.run([path, *READER_ARGUMENTS], capture_output=True,
                                          check=True, timeout=120).stdout)


class Processor(unittest.TestCase):
    def test_the_section_is_what_the_processor_answers(self):
        with Machine() as machine:
            run = machine.wine(os.environ["GUESTWISE_FACTS_EXE"])
        self.assertEqual((run.status, run.stderr), (STATUS_NOT_VM, b""))
        section = parse_facts(run.stdout)["processor"]
        print(f"{self.id()}: {json.dumps(section)}")
        expected = expected_section(native_registers())
        self.assertIsNone(section_difference(section, expected))

    def test_the_decoder_and_the_product_agree_on_any_processor(self):
        # The native replay derives a section again from its registers with
        # the product's code, and refuses one that differs.
        document = json.loads(SEED.read_bytes())
        seeded = expected_section(recorded_registers(document["processor"]))
        self.assertIsNone(section_difference(document["processor"], seeded))
        without_brand = {k: v for k, v in document["processor"].items() if k != "brand"}
        self.assertEqual(section_difference(without_brand, seeded),
                         "the processor section has no brand")
        for name, registers in PROCESSORS.items():
            with self.subTest(processor=name), tempfile.NamedTemporaryFile(suffix=".json") as file:
                file.write(json.dumps({**document, "processor": expected_section(registers)})
                           .encode())
                file.flush()
                replay = subprocess.run([os.environ["GUESTWISE_REPLAY_NATIVE"], file.name],
                                        capture_output=True)
                self.assertEqual((replay.returncode, replay.stderr), (1, b""))


if __name__ == "__main__":
    unittest.main(verbosity=2)
