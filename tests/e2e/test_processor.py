"""GuestwiseFacts.exe's processor section under Wine, where CPUID is the
build machine's own processor, which no test can dress: the section must be
what the tests' own decoder makes of that processor's registers, read by a
native program with the same user-mode instruction. So it holds on any build
machine, bare or virtual, whatever its kernel was told."""
import json
import os
import unittest
from pathlib import Path

from cpuid import expected_section, read_registers, recorded_registers, section_difference
from guest import Machine
from report import STATUS_NOT_VM, parse_facts

SEEDS = Path(__file__).resolve().parents[2] / "fuzz" / "facts_seeds"


def native_reader():
    """tests/native/cpuid_leaves; a missing one fails the test, saying so."""
    path = Path(os.environ["GUESTWISE_CPUID_NATIVE"])
    if not os.access(path, os.X_OK):
        raise AssertionError(f"no native cpuid_leaves at {path}; cmake --build --preset windows "
                             "builds it")
    return [str(path)]


class Processor(unittest.TestCase):
    def test_the_section_is_what_the_processor_answers(self):
        with Machine() as machine:
            run = machine.wine(os.environ["GUESTWISE_FACTS_EXE"])
        self.assertEqual((run.status, run.stderr), (STATUS_NOT_VM, b""))
        section = parse_facts(run.stdout)["processor"]
        print(f"{self.id()}: {json.dumps(section)}")
        expected = expected_section(read_registers(native_reader()))
        self.assertIsNone(section_difference(section, expected))

    def test_the_decoder_reads_recorded_sections_as_the_product_wrote_them(self):
        for seed in SEEDS.glob("*.json"):
            section = json.loads(seed.read_bytes()).get("processor")
            if section is not None:
                expected = expected_section(recorded_registers(section))
                self.assertIsNone(section_difference(section, expected), seed.name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
