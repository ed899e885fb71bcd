#!/usr/bin/env python3
"""Writes the Scoop manifest of a release on standard output:

    scoop-manifest.py --zip ZIP --server URL --repository OWNER/NAME --tag vX.Y.Z

The manifest names the zip's address among the release's downloads and its
SHA-256, and every program in the zip as `bin`, so that
`scoop install <address of guestwise.json>` installs Guestwise. A
repository, tag or server that would not make a well-formed address stops
it with one line, status 2.
"""
import argparse
import hashlib
import json
import re
import sys
import zipfile
from pathlib import Path
from urllib.parse import quote, urlsplit

DESCRIPTION = "Tells whether the Windows machine it runs on is a virtual machine"
# GitHub's own rules for an owner or repository name.
NAME = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9._-]{0,99})")
TAG = re.compile(r"v(\d+\.\d+\.\d+)")


class Refused(Exception):
    """An argument that would not make a well-formed manifest."""


def address(server, *segments):
    """`server` followed by each segment, escaped so that none adds a level."""
    parts = urlsplit(server)
    if parts.scheme != "https" or not parts.netloc or parts.query or parts.fragment:
        raise Refused(f"the server {server!r} is not an https:// address")
    return server.rstrip("/") + "".join("/" + quote(segment, safe="") for segment in segments)


def repository_segments(repository):
    owner, _, name = repository.partition("/")
    if not (NAME.fullmatch(owner) and NAME.fullmatch(name)) or name in (".", ".."):
        raise Refused(f"the repository {repository!r} is not OWNER/NAME")
    return [owner, name]


def manifest(zip_path, server, repository, tag):
    version = TAG.fullmatch(tag)
    if not version:
        raise Refused(f"the tag {tag!r} is not vMAJOR.MINOR.PATCH")
    with zipfile.ZipFile(zip_path) as archive:
        programs = sorted(name for name in archive.namelist() if name.lower().endswith(".exe"))
    if not programs:
        raise Refused(f"{zip_path} holds no program")
    repository = repository_segments(repository)
    return {
        "version": version.group(1),
        "description": DESCRIPTION,
        "homepage": address(server, *repository),
        "license": "MIT",
        "architecture": {
            "64bit": {
                "url": address(server, *repository, "releases", "download", tag,
                               Path(zip_path).name),
                "hash": hashlib.sha256(Path(zip_path).read_bytes()).hexdigest(),
            }
        },
        "bin": programs,
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zip", required=True)
    parser.add_argument("--server", required=True, help="https://github.com")
    parser.add_argument("--repository", required=True, help="OWNER/NAME")
    parser.add_argument("--tag", required=True)
    options = parser.parse_args(argv)
    try:
        document = manifest(options.zip, options.server, options.repository, options.tag)
    except (Refused, OSError, zipfile.BadZipFile) as error:
        print(f"scoop-manifest: {error}", file=sys.stderr)
        return 2
    print(json.dumps(document, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
