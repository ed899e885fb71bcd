#!/usr/bin/env python3
"""Writes the winget manifests of a release into a folder:

    winget-manifest.py --zip ZIP --server URL --repository OWNER/NAME --tag vX.Y.Z --out DIR

The multi-file form that the community repository (microsoft/winget-pkgs)
takes, at manifest schema 1.12.0: Kestrova.Guestwise.yaml (the version),
Kestrova.Guestwise.installer.yaml (the zip's release address and SHA-256,
each program in it a nested portable installer with its command alias:
guestwise, guestwise-facts, guestwise-replay) and
Kestrova.Guestwise.locale.en-US.yaml (publisher, licence, descriptions,
tags). The arguments that would not make a well-formed manifest stop it
with one line, status 2 (scripts/release_manifest.py lists them).
"""
import json
import re
import sys
from pathlib import Path

from release_manifest import DESCRIPTION, main

MANIFEST_VERSION = "1.12.0"
PUBLISHER = "Kestrova"
PACKAGE = "Guestwise"
IDENTIFIER = f"{PUBLISHER}.{PACKAGE}"
LOCALE = "en-US"
LONG_DESCRIPTION = (
    "Guestwise tells whether the 64-bit Windows machine it runs on is a virtual machine. Run "
    "as an ordinary user, it asks the machine a fixed series of questions (the hardware "
    "identity that WMI reports, network adapters, running processes, guest driver files, "
    "registry keys, guest-tools folders), credits each finding to a hypervisor vendor, and "
    "prints one JSON report: the verdict, the most likely vendor, a confidence from 0 to 100 "
    "and the findings. guestwise-facts records what one detection read, for a bug report; "
    "guestwise-replay replays such a record without the machine.")
TAGS = ["virtual-machine", "vm-detection", "hypervisor", "hyper-v", "vmware", "virtualbox",
        "qemu", "wmi", "json", "command-line"]
# Each program declares Windows 10 and 11 in its manifest.
MINIMUM_OS_VERSION = "10.0.0.0"
# A colon ends no plain scalar: "key: value:" would start a mapping.
PLAIN = re.compile(r"[A-Za-z](?:[A-Za-z0-9._/:-]*[A-Za-z0-9._/-])?")
YAML_WORDS = {"y", "n", "yes", "no", "true", "false", "on", "off", "null"}


def scalar(value):
    """A YAML scalar: plain when it cannot be read as anything but this
    string, else JSON's double-quoted form, which YAML reads the same."""
    if PLAIN.fullmatch(value) and value.lower() not in YAML_WORDS:
        return value
    return json.dumps(value)


def lines(value, indent=""):
    """Block-style YAML of mappings, lists and strings."""
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(item, (dict, list)):
                yield f"{indent}{key}:"
                yield from lines(item, indent + "  ")
            else:
                yield f"{indent}{key}: {scalar(item)}"
    else:
        for item in value:
            if isinstance(item, dict):
                first, *rest = list(lines(item, indent + "  "))
                yield f"{indent}- {first.lstrip()}"
                yield from rest
            else:
                yield f"{indent}- {scalar(item)}"


def document(manifest_type, fields):
    header = (f"# yaml-language-server: $schema=https://aka.ms/winget-manifest."
              f"{manifest_type.lower()}.{MANIFEST_VERSION}.schema.json")
    body = {**fields, "ManifestType": manifest_type, "ManifestVersion": MANIFEST_VERSION}
    return "\n".join([header, "", *lines(body)]) + "\n"


def manifests(release):
    """{file name: text} of the three manifests."""
    package = {"PackageIdentifier": IDENTIFIER, "PackageVersion": release.version}
    return {
        f"{IDENTIFIER}.yaml": document("version", {**package, "DefaultLocale": LOCALE}),
        f"{IDENTIFIER}.installer.yaml": document("installer", {
            **package,
            "MinimumOSVersion": MINIMUM_OS_VERSION,
            "InstallerType": "zip",
            "NestedInstallerType": "portable",
            "NestedInstallerFiles": [
                {"RelativeFilePath": program, "PortableCommandAlias": alias}
                for program, alias in release.programs.items()],
            "Installers": [{"Architecture": "x64", "InstallerUrl": release.zip_url,
                            "InstallerSha256": release.sha256.upper()}],
        }),
        f"{IDENTIFIER}.locale.{LOCALE}.yaml": document("defaultLocale", {
            **package,
            "PackageLocale": LOCALE,
            "Publisher": PUBLISHER,
            "PublisherUrl": release.owner_page,
            "PublisherSupportUrl": release.url("issues"),
            "PackageName": PACKAGE,
            "PackageUrl": release.homepage,
            "License": "MIT",
            "LicenseUrl": release.url("blob", release.tag, "LICENSE"),
            "ShortDescription": DESCRIPTION,
            "Description": LONG_DESCRIPTION,
            "Moniker": "guestwise",
            "Tags": TAGS,
            "ReleaseNotesUrl": release.url("releases", "tag", release.tag),
        }),
    }


def write(release, options):
    out = Path(options.out)
    out.mkdir(parents=True, exist_ok=True)
    for name, text in manifests(release).items():
        (out / name).write_text(text, encoding="utf-8")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:], __doc__, "winget-manifest.py", write,
                  ("--out", "the folder that receives the three manifests")))
