#!/usr/bin/env python3
"""Makes the release zip reproducible, and says where two zips differ:

    reproducible-zip.py ZIP EPOCH
    reproducible-zip.py --compare ZIP OTHER

The first rewrites ZIP in place: the same entries with the same contents, in
the order of their names, each dated EPOCH (seconds since 1970, in UTC;
1980-01-01, the earliest a zip can hold, when earlier), with fixed
permissions and nothing else of the file system they were packed from: no
owner, no extra time fields, no comment.

The second returns 0 when the two zips are the same bytes; else it prints
one line naming ZIP and the first entry that differs, status 1.

A zip that cannot be read stops either with one line, status 2.
"""
import os
import shutil
import sys
import tempfile
import time
import zipfile
from pathlib import Path

ZIP_EPOCH = 315532800  # 1980-01-01T00:00:00Z
UNIX = 3
FILE_MODE = 0o100644
DIRECTORY_MODE = 0o040755
MS_DOS_DIRECTORY = 0x10


def rewrite(path, epoch):
    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    path = Path(path)
    with zipfile.ZipFile(path) as original:
        entries = sorted((item.filename, item.is_dir(), original.read(item))
                         for item in original.infolist())
    handle, scratch = tempfile.mkstemp(dir=path.parent, prefix=".reproducible-", suffix=".zip")
    os.close(handle)
    try:
        with zipfile.ZipFile(scratch, "w") as rewritten:
            for name, is_dir, data in entries:
                item = zipfile.ZipInfo(name, date_time)
                item.create_system = UNIX
                if is_dir:
                    item.external_attr = DIRECTORY_MODE << 16 | MS_DOS_DIRECTORY
                else:
                    item.external_attr = FILE_MODE << 16
                    item.compress_type = zipfile.ZIP_DEFLATED
                rewritten.writestr(item, data, compresslevel=9)
        # mkstemp made it readable by its owner alone; the zip keeps its own mode.
        shutil.copymode(path, scratch)
        os.replace(scratch, path)
    finally:
        if os.path.exists(scratch):
            os.remove(scratch)


def first_difference(path, other):
    """None when the two files are the same bytes, else what differs first."""
    if Path(path).read_bytes() == Path(other).read_bytes():
        return None
    with zipfile.ZipFile(path) as first, zipfile.ZipFile(other) as second:
        pairs = zip(first.infolist(), second.infolist())
        for one, two in pairs:
            if one.filename != two.filename:
                return f"entry {one.filename} (the other has {two.filename} there)"
            if first.read(one) != second.read(two):
                return f"entry {one.filename} (its contents)"
            fields = ("date_time", "external_attr", "create_system", "compress_type", "extra",
                      "comment", "compress_size")
            for field in fields:
                if getattr(one, field) != getattr(two, field):
                    return f"entry {one.filename} (its {field})"
        names = [len(first.namelist()), len(second.namelist())]
        if names[0] != names[1]:
            return f"the number of entries ({names[0]} and {names[1]})"
    return "the zip's own records, not an entry"


def main(argv):
    try:
        if len(argv) == 3 and argv[0] == "--compare":
            difference = first_difference(argv[1], argv[2])
            if difference:
                print(f"{Path(argv[1]).name} differs first at {difference}.")
                return 1
            return 0
        if len(argv) == 2 and argv[1].isdigit():
            rewrite(argv[0], int(argv[1]))
            return 0
    except (OSError, zipfile.BadZipFile) as error:
        print(f"reproducible-zip: {error}", file=sys.stderr)
        return 2
    print("usage: reproducible-zip.py ZIP EPOCH | --compare ZIP OTHER", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
