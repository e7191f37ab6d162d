#!/usr/bin/env python3
"""Writes a zip whose bytes depend only on its entries' names and contents.

Usage: make-zip.py <zip> <epoch> <name>=<file> ...

Every entry gets the same time (<epoch>, seconds since 1970, taken as UTC), the same
attributes and maximum deflate compression, and the entries are written in the order
of their names, so that the same files give the same archive on any machine.
"""
import sys
import time
import zipfile


def main(argv):
    if len(argv) < 4:
        sys.stderr.write(__doc__)
        return 2
    archive, epoch = argv[1], int(argv[2])
    # A zip time is a DOS time: 1980 to 2107, two-second steps.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    entries = []
    for argument in argv[3:]:
        name, sep, path = argument.partition("=")
        if not sep or not name or "\\" in name or name.startswith("/"):
            sys.stderr.write(f"make-zip: bad entry {argument!r} (expected name=file)\n")
            return 2
        entries.append((name, path))
    names = [name for name, _ in entries]
    if len(set(names)) != len(names):
        sys.stderr.write("make-zip: an entry name is given twice\n")
        return 2
    with zipfile.ZipFile(archive, "w") as out:
        for name, path in sorted(entries):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS: attributes as Windows' own zip folders write them
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            with open(path, "rb") as source:
                out.writestr(info, source.read(), compresslevel=9)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
