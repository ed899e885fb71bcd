"""Reading Guestwise's report, and GuestwiseFacts's document, as a program
that consumes them would."""
import json
import re
from pathlib import Path

import jsonschema

DOCS = Path(__file__).resolve().parents[2] / "docs"
SCHEMA = json.loads((DOCS / "report.schema.json").read_text())
FACTS_SCHEMA = json.loads((DOCS / "facts.schema.json").read_text())
jsonschema.Draft202012Validator.check_schema(SCHEMA)
jsonschema.Draft202012Validator.check_schema(FACTS_SCHEMA)

# Exit statuses as a Linux shell sees them.
STATUS_VM, STATUS_NOT_VM = 1, 0

# What Guestwise.exe prints for --version and for --help, as Windows's text
# mode writes it.
VERSION = b"1.0.0\r\n"
HELP = (b"Kestrova Guestwise v1.0.0 (C++)\r\n"
        b"Usage: Guestwise.exe [options]\r\n"
        b"\r\n"
        b"Options:\r\n"
        b"  --help, -h     Show this help message\r\n"
        b"  --version, -v  Show version information\r\n"
        b"\r\n"
        b"Output: JSON object with detection results to stdout\r\n")

KEYS = ["isVirtualMachine", "vendor", "confidence", "evidence", "detectionTimeMs", "error"]


def parse_report(stdout):
    """The one JSON object on stdout: text mode writes CR LF for every line
    feed, and exactly one line break follows the closing brace."""
    text = stdout.decode("utf-8")
    assert text.endswith("}\r\n"), f"report must end in '}}' CR LF: {text[-20:]!r}"
    assert "\n" not in text.replace("\r\n", ""), "a bare line feed in text-mode output"
    report = json.loads(text)
    jsonschema.validate(report, SCHEMA, cls=jsonschema.Draft202012Validator)
    assert list(report) == KEYS, f"keys or their order differ: {list(report)}"
    return report


def report_text(report):
    """The report as the writer lays it out, for byte-for-byte comparisons
    that leave the measured time alone."""
    return re.sub(r'"detectionTimeMs": -?\d+', '"detectionTimeMs": T', report)


def parse_facts(stdout):
    """GuestwiseFacts's one document, validated, with the report it holds."""
    text = stdout.decode("utf-8")
    assert text.endswith("}\r\n"), f"facts must end in '}}' CR LF: {text[-20:]!r}"
    assert "\n" not in text.replace("\r\n", ""), "a bare line feed in text-mode output"
    facts = json.loads(text)
    jsonschema.validate(facts, FACTS_SCHEMA, cls=jsonschema.Draft202012Validator)
    jsonschema.validate(facts["report"], SCHEMA, cls=jsonschema.Draft202012Validator)
    keys = list(facts["report"])
    assert keys == KEYS, f"the report's keys or their order differ: {keys}"
    return facts
