"""What the package-manager manifests of a release share: their arguments,
the checks on them, and what they take from the release zip.

scoop-manifest.py and winget-manifest.py both take
--zip ZIP --server URL --repository OWNER/NAME --tag vX.Y.Z, and refuse, in
one line with status 2: a zip that is missing or unreadable; a tag that is
not vX.Y.Z or names another version than the zip; a repository that is not
OWNER/NAME; a server that is not https://; a program in the zip that has no
valid command alias.
"""
import argparse
import hashlib
import re
import sys
import zipfile
from pathlib import Path
from urllib.parse import quote, urlsplit

DESCRIPTION = "Tells whether the Windows machine it runs on is a virtual machine"
# GitHub's own rules for an owner or repository name.
NAME = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9._-]{0,99})")
TAG = re.compile(r"v((?:0|[1-9][0-9]*)\.(?:0|[1-9][0-9]*)\.(?:0|[1-9][0-9]*))")
# CPack's name for the zip: NAME-VERSION-win64.zip.
ZIP_VERSION = re.compile(r".+-(\d+\.\d+\.\d+)-win64\.zip")
# A program's name in CamelCase gives its command: GuestwiseFacts.exe is
# guestwise-facts, lower case as Windows's own commands are typed.
PROGRAM = re.compile(r"(?:[A-Z][a-z0-9]*)+\.exe")
WORD = re.compile(r"[A-Z][a-z0-9]*")
# winget's limit on PortableCommandAlias; Scoop has none shorter.
ALIAS_LENGTH = 40
# Names that Windows keeps for devices: no file, so no command, can have them.
DEVICES = {"con", "prn", "aux", "nul", *(f"com{n}" for n in range(1, 10)),
           *(f"lpt{n}" for n in range(1, 10))}


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


def command_alias(program):
    """The command that runs `program`, or Refused."""
    alias = "-".join(word.lower() for word in WORD.findall(program[:-4])) \
        if PROGRAM.fullmatch(program) else ""
    if not alias or len(alias) > ALIAS_LENGTH or alias in DEVICES:
        raise Refused(f"the program {program!r} has no valid command alias: its name must be "
                      f"CamelCase letters and digits, giving at most {ALIAS_LENGTH} characters")
    return alias


class Release:
    """The release that the arguments name, checked."""

    def __init__(self, zip_path, server, repository, tag):
        zip_path = Path(zip_path)
        try:
            with zipfile.ZipFile(zip_path) as archive:
                names = archive.namelist()
            self.sha256 = hashlib.sha256(zip_path.read_bytes()).hexdigest()
        except (OSError, zipfile.BadZipFile) as error:
            raise Refused(f"the zip {str(zip_path)!r} cannot be read: "
                          f"{getattr(error, 'strerror', None) or error}") from None
        programs = sorted(name for name in names if name.lower().endswith(".exe"))
        if not programs:
            raise Refused(f"the zip {str(zip_path)!r} holds no program")
        tag_version = TAG.fullmatch(tag)
        if not tag_version:
            raise Refused(f"the tag {tag!r} is not vMAJOR.MINOR.PATCH")
        zip_version = ZIP_VERSION.fullmatch(zip_path.name)
        if not zip_version or zip_version.group(1) != tag_version.group(1):
            found = f"version {zip_version.group(1)}" if zip_version else "no version"
            raise Refused(f"the tag {tag} names version {tag_version.group(1)}, but the zip "
                          f"{zip_path.name!r} names {found}")
        owner, name = repository_segments(repository)
        self.version = tag_version.group(1)
        self.tag = tag
        self.zip_name = zip_path.name
        self.homepage = address(server, owner, name)
        self.owner_page = address(server, owner)
        self.server = server
        self.owner, self.name = owner, name
        self.programs = {program: command_alias(program) for program in programs}

    def url(self, *segments):
        """An address in the repository: its home page followed by `segments`."""
        return address(self.server, self.owner, self.name, *segments)

    @property
    def zip_url(self):
        return self.url("releases", "download", self.tag, self.zip_name)


def main(argv, doc, prog, write, *extra_arguments):
    """Parses the shared arguments (and `extra_arguments`, (flag, help)
    pairs), then calls write(release, options); prints a refusal in one
    line, status 2."""
    parser = argparse.ArgumentParser(prog=prog, description=doc.splitlines()[0])
    parser.add_argument("--zip", required=True)
    parser.add_argument("--server", required=True, help="https://github.com")
    parser.add_argument("--repository", required=True, help="OWNER/NAME")
    parser.add_argument("--tag", required=True, help="vX.Y.Z")
    for flag, help_text in extra_arguments:
        parser.add_argument(flag, required=True, help=help_text)
    options = parser.parse_args(argv)
    try:
        write(Release(options.zip, options.server, options.repository, options.tag), options)
    except Refused as error:
        print(f"{prog.removesuffix('.py')}: {error}", file=sys.stderr)
        return 2
    return 0
