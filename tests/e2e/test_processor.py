"""GuestwiseFacts.exe's processor section under Wine, where CPUID is the
build machine's own processor, which no test can dress: the section must say
what Linux says of that processor, and its registers what the processor
answers natively. So it holds on a physical build machine and a virtual one
alike."""
import json
import os
import subprocess
import unittest
from pathlib import Path

from guest import Machine
from report import STATUS_NOT_VM, linux_processor, parse_facts, processor_difference


def native_cpuid(leaves):
    """The registers of each leaf as tests/native/cpuid_leaves reads them; a
    missing helper fails the test, saying so."""
    path = Path(os.environ["GUESTWISE_CPUID_NATIVE"])
    if not os.access(path, os.X_OK):
        raise AssertionError(f"no native cpuid_leaves at {path}; cmake --build --preset windows "
                             "builds it")
    lines = subprocess.run([path, *leaves], capture_output=True, check=True,
                           timeout=60).stdout.decode().splitlines()
    return {leaf: dict(zip(["eax", "ebx", "ecx", "edx"], values))
            for leaf, *values in map(str.split, lines)}


class Processor(unittest.TestCase):
    def test_the_section_says_what_linux_and_the_processor_say(self):
        with Machine() as machine:
            run = machine.wine(os.environ["GUESTWISE_FACTS_EXE"])
        self.assertEqual((run.status, run.stderr), (STATUS_NOT_VM, b""))
        section = parse_facts(run.stdout)["processor"]
        print(f"{self.id()}: {json.dumps(section)}")
        self.assertIsNone(processor_difference(section, linux_processor()))
        leaves = section["leaves"]
        self.assertEqual("0x40000000" in leaves, section["hypervisorPresent"])
        native = native_cpuid(leaves)
        # Leaf 1's EBX holds the APIC ID of the core that ran the instruction
        # in its top byte, which the section leaves out.
        ebx = int(native["0x00000001"]["ebx"], 16)
        native["0x00000001"]["ebx"] = f"0x{ebx & 0x00FFFFFF:08x}"
        self.assertEqual(leaves, native)


if __name__ == "__main__":
    unittest.main(verbosity=2)
