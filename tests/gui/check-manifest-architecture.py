#!/usr/bin/env python3
"""Checks that the manifest a Windows image (program or DLL) embeds names its own architecture.

The loader binds a manifest's dependencies (Common Controls 6) in the architecture the
manifest names: a 32-bit program whose manifest says amd64 gets the 64-bit DLL in a WOW64
process and does not start. This reads each image's machine from its PE header and every
RT_MANIFEST resource from its resource section, and checks each processorArchitecture of
an assemblyIdentity against the machine ("*" is accepted in a dependency, where it means
the program's own). An image without a manifest passes unless it is named with
--with-manifest.

Usage:
  check-manifest-architecture.py [--with-manifest IMAGE]... [IMAGE]...
  check-manifest-architecture.py --refuses IMAGE...
With --refuses every image must be refused for a manifest of another architecture (to
show that the check fails where it should). Runs on any host, without Wine. Each image is
one named check; MORVANE_JUNIT names a JUnit XML file to write them to. Exit code 0 when
every check holds, 1 otherwise, 2 for a wrong command line.
"""
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree
from xml.sax.saxutils import quoteattr

MACHINES = {0x014C: "x86", 0x8664: "amd64", 0x01C4: "arm", 0xAA64: "arm64"}
RT_MANIFEST = 24
RESOURCE_DIRECTORY_INDEX = 2


class ImageError(Exception):
    pass


class Image:
    """The parts of a PE image this check reads: its machine and its resources."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ImageError("no MZ header")
        (pe_offset,) = self.unpack("<I", 0x3C)
        if self.data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        coff = pe_offset + 4
        self.machine, sections, _, _, _, optional_size, _ = self.unpack("<HHIIIHH", coff)
        optional = coff + 20
        (magic,) = self.unpack("<H", optional)
        if magic == 0x10B:
            counts_at, directories_at = 92, 96
        elif magic == 0x20B:
            counts_at, directories_at = 108, 112
        else:
            raise ImageError("optional header magic 0x%x" % magic)
        (directory_count,) = self.unpack("<I", optional + counts_at)
        self.resource_rva = 0
        if directory_count > RESOURCE_DIRECTORY_INDEX:
            self.resource_rva, _ = self.unpack("<II", optional + directories_at + 8 * RESOURCE_DIRECTORY_INDEX)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            virtual_size, virtual_address, raw_size, raw_pointer = self.unpack("<IIII", table + 40 * i + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer, raw_size))

    def unpack(self, layout, offset):
        size = struct.calcsize(layout)
        if offset < 0 or offset + size > len(self.data):
            raise ImageError("truncated at offset 0x%x" % offset)
        return struct.unpack_from(layout, self.data, offset)

    def offset_of(self, rva):
        for virtual_address, virtual_size, raw_pointer, raw_size in self.sections:
            if virtual_address <= rva < virtual_address + virtual_size:
                if rva - virtual_address >= raw_size:
                    raise ImageError("RVA 0x%x lies past its section's data" % rva)
                return raw_pointer + rva - virtual_address
        raise ImageError("RVA 0x%x is in no section" % rva)

    def directory_entries(self, offset):
        """(id or None for a named entry, is_directory, offset relative to the resource root)."""
        _, _, _, _, named, ids = self.unpack("<IIHHHH", offset)
        if named + ids > 4096:
            raise ImageError("a resource directory of %d entries" % (named + ids))
        for i in range(named + ids):
            name, target = self.unpack("<II", offset + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), bool(target & 0x80000000), target & 0x7FFFFFFF

    def manifests(self):
        """The bytes of every RT_MANIFEST resource, in the order of the resource section."""
        if self.resource_rva == 0:
            return []
        root = self.offset_of(self.resource_rva)
        found = []

        def leaves(relative, depth):
            for _, is_directory, target in self.directory_entries(root + relative):
                if is_directory:
                    if depth >= 3:
                        raise ImageError("resource directories nested too deep")
                    yield from leaves(target, depth + 1)
                else:
                    yield target

        for type_id, is_directory, target in self.directory_entries(root):
            if type_id != RT_MANIFEST:
                continue
            for leaf in (leaves(target, 1) if is_directory else [target]):
                data_rva, size, _, _ = self.unpack("<IIII", root + leaf)
                start = self.offset_of(data_rva)
                if start + size > len(self.data):
                    raise ImageError("a manifest of %d bytes past the end of the file" % size)
                found.append(self.data[start:start + size])
        return found


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def architectures(manifest):
    """(where, architecture) of each assemblyIdentity that names one."""
    root = ElementTree.fromstring(manifest)
    named = []
    for child in root:
        if local_name(child.tag) == "assemblyIdentity" and "processorArchitecture" in child.attrib:
            named.append(("the program's own identity", child.attrib["processorArchitecture"]))
    for element in root.iter():
        if local_name(element.tag) != "dependentAssembly":
            continue
        for identity in element:
            if local_name(identity.tag) == "assemblyIdentity" and "processorArchitecture" in identity.attrib:
                name = identity.attrib.get("name", "?")
                named.append(("the dependency on " + name, identity.attrib["processorArchitecture"]))
    return named


def mismatches(path, manifest_required):
    """(summary, wrong, other): what the image is, each architecture named that is not its
    own, and any other fault (no manifest where one is required, a manifest that is no XML)."""
    image = Image(path)
    machine = MACHINES.get(image.machine)
    if machine is None:
        raise ImageError("unknown machine 0x%04x" % image.machine)
    manifests = image.manifests()
    if not manifests:
        return "%s image without a manifest" % machine, [], (["no manifest"] if manifest_required else [])
    wrong, other = [], []
    for manifest in manifests:
        try:
            named = architectures(manifest)
        except ElementTree.ParseError as error:
            other.append("a manifest that is no XML (%s)" % error)
            continue
        for where, architecture in named:
            if architecture.lower() == machine or (architecture == "*" and where != "the program's own identity"):
                continue
            wrong.append("%s names %s" % (where, architecture))
    return "%s image, %d manifest(s)" % (machine, len(manifests)), wrong, other


def write_junit(path, suite, results):
    failed = sum(1 for _, message in results if message)
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        f.write('<testsuites tests="%d" failures="%d" disabled="0" errors="0" name=%s>\n'
                % (len(results), failed, quoteattr(suite)))
        f.write('  <testsuite name=%s tests="%d" failures="%d" disabled="0" errors="0">\n'
                % (quoteattr(suite), len(results), failed))
        for name, message in results:
            f.write('    <testcase name=%s classname=%s' % (quoteattr(name), quoteattr(suite)))
            if message:
                f.write('>\n      <failure message=%s/>\n    </testcase>\n' % quoteattr(message))
            else:
                f.write('/>\n')
        f.write('  </testsuite>\n</testsuites>\n')


def main(argv):
    refuses = False
    images = []  # (path, manifest required)
    args = iter(argv)
    for arg in args:
        if arg == "--refuses":
            refuses = True
        elif arg == "--with-manifest":
            path = next(args, None)
            if path is None:
                print("--with-manifest needs an image", file=sys.stderr)
                return 2
            images.append((path, True))
        elif arg.startswith("--"):
            print("unknown option %s" % arg, file=sys.stderr)
            return 2
        else:
            images.append((arg, False))
    if not images:
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2

    results = []
    for path, required in images:
        name = os.path.basename(path)
        if refuses:
            check = "refused: %s: a manifest of another architecture" % name
        else:
            check = "%s: no manifest of another architecture" % name
        if not os.path.isfile(path):
            results.append((check, "%s is not built" % path))
            continue
        try:
            summary, wrong, other = mismatches(path, required)
        except (ImageError, OSError) as error:
            results.append((check, "%s cannot be read: %s" % (path, error)))
            continue
        if refuses:
            message = "" if wrong else "%s: nothing refused (%s)" % (summary, "; ".join(other) or "all match")
            if not message:
                print("%s: %s: refused: %s" % (name, summary, "; ".join(wrong)))
        else:
            problems = wrong + other
            message = "%s: %s" % (summary, "; ".join(problems)) if problems else ""
            if not message:
                print("%s: %s" % (name, summary))
        results.append((check, message))

    for check, message in results:
        print(("ok: " + check) if not message else ("FAIL: %s: %s" % (check, message)))
    junit = os.environ.get("MORVANE_JUNIT")
    if junit:
        os.makedirs(os.path.dirname(junit) or ".", exist_ok=True)
        write_junit(junit, "manifest-architecture" + ("-refuses" if refuses else ""), results)
    return 1 if any(message for _, message in results) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
