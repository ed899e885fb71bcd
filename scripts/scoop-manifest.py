#!/usr/bin/env python3
"""Writes the Scoop manifest of a release on standard output:

    scoop-manifest.py --zip ZIP --server URL --repository OWNER/NAME --tag vX.Y.Z

The manifest names the zip's address among the release's downloads and its
SHA-256, and every program in the zip as `bin` under its command alias
(guestwise, guestwise-facts, guestwise-replay: the commands that winget
gives too), so that `scoop install <address of guestwise.json>` installs
Guestwise. The arguments that would not make a well-formed manifest stop it
with one line, status 2 (scripts/release_manifest.py lists them).
"""
import json
import sys

from release_manifest import DESCRIPTION, main


def write(release, _options):
    print(json.dumps({
        "version": release.version,
        "description": DESCRIPTION,
        "homepage": release.homepage,
        "license": "MIT",
        "architecture": {"64bit": {"url": release.zip_url, "hash": release.sha256}},
        "bin": [[program, alias] for program, alias in release.programs.items()],
    }, indent=2))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], __doc__, "scoop-manifest.py", write))
