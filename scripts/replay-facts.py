#!/usr/bin/env python3
"""Replays on this machine the facts documents that GuestwiseFacts.exe
recorded on other machines, as check-exes.py --facts-out leaves them.

    replay-facts.py REPLAY FOLDER

REPLAY is a GuestwiseReplay built for this machine. Every folder in FOLDER
(FOLDER itself included) that holds a statuses.json is a machine's: each
document that statuses.json names must replay to the report it recorded
(the time aside) with the exit status recorded beside it, and nothing on
standard error. Prints a line for each machine and returns 0 when all hold;
else one line naming the first document that differs, status 1.
"""
import json
import subprocess
import sys
from pathlib import Path


class Differs(Exception):
    """What differs, in one line."""


def untimed(report):
    return {**report, "detectionTimeMs": 0}


def replay(program, document, status):
    recorded = json.loads(document.read_bytes())["report"]
    run = subprocess.run([str(program), str(document)], capture_output=True, timeout=60)
    if run.stderr:
        raise Differs(f"{document}: the replay wrote to standard error: "
                      f"{' '.join(run.stderr.decode(errors='replace').split())}")
    if run.returncode != status:
        raise Differs(f"{document}: the replay gave status {run.returncode}, "
                      f"the machine {status}")
    replayed = json.loads(run.stdout)
    if untimed(replayed) != untimed(recorded):
        raise Differs(f"{document}: the replay gave {replayed}, the machine {recorded}")


def replay_machine(program, folder):
    statuses = json.loads((folder / "statuses.json").read_text())
    if not statuses:
        raise Differs(f"{folder}: statuses.json names no document")
    for name, status in sorted(statuses.items()):
        replay(program, folder / name, status)
    return len(statuses)


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    program, top = Path(argv[0]).resolve(), Path(argv[1])
    machines = sorted(path.parent for path in top.rglob("statuses.json"))
    try:
        if not machines:
            raise Differs(f"{top}: no statuses.json, so no facts to replay")
        for folder in machines:
            count = replay_machine(program, folder)
            print(f"replay-facts: {folder}: {count} documents replayed as recorded")
    except (Differs, OSError, ValueError, KeyError) as error:
        print(f"replay-facts: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
