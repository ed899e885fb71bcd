"""The processor section that CPUID registers give, decoded by the tests
themselves, apart from the product's own decoding, so that a fault in either
shows as a difference between them.

The registers come from a reader that runs the instruction in user mode, as
the exes do: tests/native/cpuid_leaves under Wine (Wine runs an exe's CPUID
on the build machine's own processor), the same program built for Windows on
a Windows runner. Never from any account of the processor that the kernel
gives: a kernel that is itself a paravirtualized guest is told of another
processor than the one the instruction reaches."""
import struct

# Every leaf a section may read: the reader is asked for all of them at once,
# with these arguments.
LEAVES = (0x00000000, 0x00000001, 0x40000000, 0x40000001, 0x40000003, 0x40000100,
          0x80000000, 0x80000002, 0x80000003, 0x80000004)
READER_ARGUMENTS = tuple(f"{leaf:x}" for leaf in LEAVES)
REGISTERS = ("eax", "ebx", "ecx", "edx")


def parse_registers(output):
    """{leaf: (eax, ebx, ecx, edx)} for every leaf of LEAVES, from what the
    reader printed: one line a leaf, in hex. ValueError says what is off."""
    registers = dict(_leaf_and_registers(line)
                     for line in output.decode(errors="replace").splitlines())
    if sorted(registers) != sorted(LEAVES):
        raise ValueError(f"the reader read leaves {sorted(registers)}, not {list(LEAVES)}")
    return registers


def _leaf_and_registers(line):
    try:
        leaf, *values = (int(word, 16) for word in line.split())
        if len(values) == len(REGISTERS):
            return leaf, tuple(values)
    except ValueError:
        pass
    raise ValueError(f"the reader printed {line!r}, not a leaf and its four registers")


def recorded_registers(section):
    """The registers that a section's own leaves record; ValueError names a
    leaf that does not hold four."""
    registers = {}
    for leaf, values in section.get("leaves", {}).items():
        try:
            registers[int(leaf, 16)] = tuple(int(values[name], 16) for name in REGISTERS)
        except (KeyError, TypeError, ValueError):
            raise ValueError(f"the processor section's leaf {leaf} is {values}, not four "
                             "registers") from None
    return registers


def _bytes(*words):
    return struct.pack(f"<{len(words)}I", *words)


def _text(data):
    """Text only where every byte is printable ASCII; otherwise None."""
    return data.decode("ascii") if all(0x20 <= byte <= 0x7E for byte in data) else None


def _signature(*words):
    return _text(_bytes(*words).rstrip(b"\0"))


def expected_section(registers):
    """The section, leaves included, that a processor answering `registers`
    must give; a leaf missing from them answers zeros."""
    asked = {}

    def ask(leaf):
        eax, ebx, ecx, edx = registers.get(leaf, (0, 0, 0, 0))
        if leaf == 1:
            ebx &= 0x00FFFFFF  # the initial APIC ID names the core, not the processor
        asked[leaf] = (eax, ebx, ecx, edx)
        return asked[leaf]

    highest, ebx, ecx, edx = ask(0)
    section = {"vendor": _signature(ebx, edx, ecx), "brand": None, "hypervisorPresent": None,
               "hypervisor": None}
    if highest >= 1:
        section["hypervisorPresent"] = ask(1)[2] >> 31 == 1
    if section["hypervisorPresent"]:
        section["hypervisor"] = _hypervisor(ask)
    if ask(0x80000000)[0] >= 0x80000004:
        brand = b"".join(_bytes(*ask(leaf)) for leaf in (0x80000002, 0x80000003, 0x80000004))
        section["brand"] = _text(brand.partition(b"\0")[0].strip(b" "))
    section["leaves"] = {f"0x{leaf:08x}": {name: f"0x{value:08x}"
                                           for name, value in zip(REGISTERS, values)}
                         for leaf, values in asked.items()}
    return section


def _hypervisor(ask):
    top, ebx, ecx, edx = ask(0x40000000)
    hypervisor = {"maxLeaf": f"0x{top:08x}", "vendor": _signature(ebx, ecx, edx),
                  "interface": None, "privilegeFlags": None, "rootPartition": None,
                  "nextRangeVendor": None}
    if top >= 0x40000001:
        interface = ask(0x40000001)[0]
        hypervisor["interface"] = _signature(interface)
        if _bytes(interface) == b"Hv#1" and top >= 0x40000003:
            flags = ask(0x40000003)[1]
            hypervisor["privilegeFlags"] = f"0x{flags:08x}"
            hypervisor["rootPartition"] = flags & 1 == 1
    top, ebx, ecx, edx = ask(0x40000100)
    if 0x40000100 <= top <= 0x400001FF:
        hypervisor["nextRangeVendor"] = _signature(ebx, ecx, edx)
    return hypervisor


def section_difference(section, expected):
    """Where a section first differs from the expected one; None when it is
    the same."""
    for key in expected:
        if key not in section:
            return f"the processor section has no {key}"
    for key in ("vendor", "brand", "hypervisorPresent", "hypervisor"):
        if section[key] != expected[key]:
            return f"the processor section's {key} is {section[key]!r}, its registers " \
                   f"give {expected[key]!r}"
    leaves = section["leaves"]
    for leaf in sorted(set(leaves) | set(expected["leaves"])):
        if leaves.get(leaf) != expected["leaves"].get(leaf):
            return f"the processor section's leaf {leaf} is {leaves.get(leaf)}, the processor " \
                   f"gives {expected['leaves'].get(leaf)}"
    return None
