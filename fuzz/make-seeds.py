#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a real shape of what the target reads: machine files of the tests and
the documentation, hub answers in the platform's byte layouts as hubs give them,
registry values as devices carry them, version resources as PE files hold them, and
the command lines the documentation shows. Run it again after changing an input
layout of a target (the layouts are described at the top of each target's source).
"""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- machine files -------------------------------------------------------------

def machine_files():
    source = open(os.path.join(ROOT, "platform/sim/machine_file.cpp"), encoding="utf-8").read()
    default = re.search(r'R"json\((.*?)\)json"', source, re.S).group(1)
    write("machine_file_fuzz", "default-machine.json", default)
    write("machine_file_fuzz", "gui-machine.json", open(os.path.join(ROOT, "tests/gui/gui-machine.json"), "rb").read())
    write("machine_file_fuzz", "empty.json", "{}")
    write("machine_file_fuzz", "win9x-hub-faults.json", r'''{
  "system": {"platformId": "9x", "wow64": false, "windowsDirectory": "C:\\WINDOWS", "messages": {"0x5": "Access is denied.\r\n"}},
  "devices": [
    {"id": "HTREE\\ROOT\\0"},
    {"id": "USB\\ROOT_HUB\\0", "parent": "HTREE\\ROOT\\0", "class": "USB", "interfaces": ["USB_HUB"],
     "properties": {"DeviceDesc": "USB Root Hub", "Driver": "USB\\0001"},
     "hub": {"ports": 2, "connections": [
       {"port": 1, "device": "USB\\VID_045E&PID_0040\\5&1", "speed": "low", "openPipes": -1, "actualLength": 600,
        "fail": ["ex", "v2"], "pipes": [{"attributes": 3, "interval": 10}, {"type": "bulk"}]},
       {"port": 2}]}},
    {"id": "USB\\VID_045E&PID_0040\\5&1", "parent": "USB\\ROOT_HUB\\0", "class": "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}",
     "problem": 10, "properties": {"LowerFilters": ["morvane.sys", ""], "Address": {"type": 3, "hex": "0100"},
     "28": {"qword": 18446744073709551615}},
     "driverKey": {"NTMPDriver": "hidusb.sys,hidclass.sys", "bInterval": {"dword": 8}},
     "hardwareKey": {"LowerFilters": {"type": 7, "hex": "6d6f7276616e652e73797300"}}}
  ],
  "services": [{"name": "morvane", "startType": "disabled", "startError": 1058, "binaryPath": "\\??\\C:\\x.sys"}],
  "files": [{"path": "C:\\WINDOWS\\SYSTEM\\hidusb.sys", "version": {"fileVersion": "4.10.2222", "translation": false}}]
}''')
    write("machine_file_fuzz", "missing-parent.json", '{"devices": [{"id": "A"}, {"id": "B", "parent": "C"}]}')


# ---- hub answers ---------------------------------------------------------------

def control(ok, answer, leave_behind=False):
    flags = (1 if ok else 0) | (2 if leave_behind else 0)
    return struct.pack("<BH", flags, len(answer)) + answer


def node_information(ports, node_type=0):
    body = struct.pack("<IBBBHBB", node_type, 9, 0x29, ports, 0, 50, 0)
    return body + bytes(76 - len(body))


def driver_key(port, name, actual=None):
    wide = (name + "\0").encode("utf-16-le")
    length = 8 + len(wide) if actual is None else actual
    probe = struct.pack("<II", port, length) + wide[:2]
    full = struct.pack("<II", port, length) + wide
    return probe, full


def pipe(attributes, interval, endpoint=0x81, max_packet=8):
    return struct.pack("<BBBBHBI", 7, 5, endpoint, attributes, max_packet, interval, 0)


def connection(port, speed, pipes, vid=0x046D, pid=0xC08B, open_pipes=None):
    descriptor = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200 if speed >= 2 else 0x0110, 0, 0, 0, 64, vid, pid,
                             0x0100, 1, 2, 0, 1)
    count = len(pipes) if open_pipes is None else open_pipes
    head = struct.pack("<I", port) + descriptor + struct.pack("<BBBHiI", 1, speed, 0, port + 1, count, 1)
    body = head + b"".join(pipes)
    return body + bytes(365 - len(body))


def v2(port, flags):
    return struct.pack("<IIII", port, 16, 7, flags)


DRIVER_KEY = "{36fc9e60-c465-11cf-8056-444553540000}\\0007"


def hub_answers():
    t = "hub_answers_fuzz"
    # A full-speed gaming mouse on port 1: one interrupt pipe at 1 ms.
    write(t, "full-speed-mouse", bytes([1]) + control(True, connection(1, 1, [pipe(3, 1)])) + control(True, v2(1, 0)))
    # Port searched by driver key (upper case on the hub), high speed, SuperSpeedPlus by V2.
    probe, full = driver_key(3, DRIVER_KEY.upper())
    other_probe, other_full = driver_key(1, "{36fc9e60-c465-11cf-8056-444553540000}\\0002")
    write(t, "port-search-superspeedplus",
          bytes([0]) + control(True, node_information(4)) + control(True, other_probe) + control(True, other_full) +
          control(False, b"") + control(True, probe) + control(True, full) +
          control(True, connection(3, 2, [pipe(3, 4), pipe(2, 0, 0x02, 512), pipe(3, 8, 0x82)])) +
          control(True, v2(3, 5)))
    # EX fails and leaves bytes behind; the plain control reports a low-speed device.
    write(t, "plain-low-speed",
          bytes([2]) + control(False, connection(2, 2, [pipe(3, 32)]), leave_behind=True) +
          control(True, connection(2, 1, [pipe(3, 10, max_packet=4)], vid=0x0461, pid=0x4D81)))
    # Pipe counts outside the list: negative, and more than the buffer holds.
    write(t, "negative-pipe-count", bytes([1]) + control(True, connection(1, 1, [pipe(3, 4)], open_pipes=-1)))
    write(t, "pipe-count-past-buffer",
          bytes([4]) + control(True, connection(4, 2, [pipe(3, i + 1) for i in range(30)], open_pipes=200)) +
          control(False, b""))
    # A driver key name longer than its area, then a hub that is not a hub.
    long_probe, long_full = driver_key(1, "x" * 300)
    write(t, "driver-key-too-long",
          bytes([0]) + control(True, node_information(2)) + control(True, long_probe) + control(True, long_full) +
          control(True, probe[:4] + struct.pack("<I", 600) + probe[8:]))
    write(t, "not-a-hub", bytes([0]) + control(True, node_information(3, node_type=1)))


# ---- registry values -----------------------------------------------------------

REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 3, 4, 7, 11


def value(type_, data, present=True):
    if isinstance(data, str):
        data = data.encode("latin-1")
    return struct.pack("<BIH", 1 if present else 0, type_, len(data)) + data


ABSENT = value(0, b"", present=False)


def faults(*planned):
    out = bytes([len(planned)])
    for function, skip, error in planned:
        out += bytes([function, skip, error])
    return out


def registry_values():
    t = "registry_values_fuzz"
    mouse = [value(REG_SZ, "USB Input Device\0"), value(REG_SZ, "Raptor Gaming Mouse\0"),
             value(REG_MULTI_SZ, "USB\\VID_1A2C&PID_0E24&REV_0100\0USB\\VID_1A2C&PID_0E24\0\0"),
             value(REG_SZ, "HidUsb\0"), value(REG_DWORD, struct.pack("<I", 2))]
    write(t, "nt-other-filter", bytes([0]) + value(REG_MULTI_SZ, "ravenflt\0\0") +
          value(REG_DWORD, struct.pack("<I", 1)) + ABSENT + b"".join(mouse) + faults())
    write(t, "nt-filter-mixed-case-write-fails", bytes([0]) + value(REG_MULTI_SZ, "MorVane\0ravenflt\0\0") +
          value(REG_DWORD, struct.pack("<I", 4)) + ABSENT + b"".join(mouse) + faults((1, 0, 0)))
    write(t, "9x-ntmpdriver", bytes([1]) + value(REG_MULTI_SZ, "morvane.sys\0\0") +
          value(REG_QWORD, struct.pack("<Q", 8)) + value(REG_SZ, "hidusb.sys,hidclass.sys\0") +
          b"".join(mouse[:3]) + ABSENT + ABSENT + faults())
    write(t, "nt-unterminated-binary", bytes([0]) + value(REG_SZ, "kbdclass") + value(REG_BINARY, b"\x08\x00") +
          ABSENT + value(REG_BINARY, b"\x00") + ABSENT + value(REG_SZ, "") + ABSENT +
          value(REG_BINARY, b"\x03\x00") + faults((0, 1, 2)))
    write(t, "nt-line-breaks-and-empty-entries", bytes([0]) + value(REG_MULTI_SZ, "a\r\nb\0\0c\rmorvane\n\0\0\0") +
          ABSENT + ABSENT + value(REG_SZ, "HID Keyboard Device\0") + value(REG_SZ, "HID Keyboard Device (USB)\0") +
          ABSENT + ABSENT + ABSENT + faults((0, 0, 3), (1, 0, 1)))
    write(t, "9x-key-faults", bytes([1]) + value(REG_MULTI_SZ, "ravenflt.sys\0kbdhook.vxd\0\0") + ABSENT +
          value(REG_SZ, "usbohci.sys\0") + ABSENT + ABSENT + ABSENT + ABSENT + ABSENT + faults((2, 0, 0), (3, 1, 4)))


# ---- version resources ---------------------------------------------------------

def pe_version_resource(path):
    """The RT_VERSION resource of a PE file, as its bytes."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size

    def offset_of(rva):
        for i in range(sections):
            size, address, _, raw = struct.unpack_from("<IIII", data, table + i * 40 + 8)
            if address <= rva < address + max(size, 1):
                return raw + rva - address
        raise ValueError("RVA outside the sections")

    base = offset_of(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    for ident, target in entries(0):
        if ident == 16:
            name_dir = target & 0x7FFFFFFF
            _, lang_target = next(entries(name_dir))
            _, leaf = next(entries(lang_target & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            start = offset_of(rva)
            return data[start:start + size]
    raise ValueError("no version resource")


def version_node(key, value_bytes=b"", value_length=0, text=False, children=()):
    head_key = (key + "\0").encode("utf-16-le")
    out = bytearray(struct.pack("<HHH", 0, value_length, 1 if text else 0) + head_key)
    while len(out) % 4:
        out.append(0)
    out += value_bytes
    for child in children:
        while len(out) % 4:
            out.append(0)
        out += child
    struct.pack_into("<H", out, 0, len(out))
    return bytes(out)


def text_node(key, text):
    return version_node(key, (text + "\0").encode("utf-16-le"), len(text) + 1, True)


def two_table_resource():
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, 0x00020004, 0x00010000, 0x00020004, 0x00010000, 0x3F, 0,
                        0x40004, 3, 0, 0, 0)
    strings = version_node("StringFileInfo", text=True, children=[
        version_node("040704B0", text=True, children=[text_node("CompanyName", "Raptor"),
                                                      text_node("FileVersion", "2.4.1.0 (de)")]),
        version_node("040904E4", text=True, children=[text_node("FileVersion", "2.4.1.0")]),
    ])
    var = version_node("VarFileInfo", text=True, children=[
        version_node("Translation", struct.pack("<HH", 0x0409, 0x04E4), 4)])
    return version_node("VS_VERSION_INFO", fixed, len(fixed), children=[strings, var])


def version_input(mode, failures=0, info_size=0):
    return struct.pack("<BBH", mode, failures, info_size)


def structured(language, code_page, text, patches=()):
    out = struct.pack("<HHH", language, code_page, len(text)) + text.encode("latin-1") + bytes([len(patches)])
    for offset, byte in patches:
        out += struct.pack("<HB", offset, byte)
    return out


def version_resources():
    t = "version_resource_fuzz"
    write(t, "windows-driver", version_input(3) + structured(0x0409, 0x04B0, "10.0.19041.3636 (WinBuild.160101.0800)"))
    write(t, "no-translation", version_input(1) + structured(0x0409, 0x04B0, "1.0.0.0"))
    write(t, "length-patched", version_input(3) + structured(0x0407, 0x04E4, "1.1.0.0185", [(0, 0xFF), (1, 0xFF)]))
    write(t, "two-string-tables", version_input(0) + two_table_resource())
    write(t, "truncated-copy", version_input(0, 0, 64) + two_table_resource())
    for name, path in (("wine-version-dll", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll"),):
        if os.path.exists(path):
            write(t, name, version_input(0) + pe_version_resource(path))
        else:
            print("make-seeds: %s not found, seed %s left as it is" % (path, name), file=sys.stderr)


# ---- command lines ---------------------------------------------------------------

def command_lines():
    t = "command_line_fuzz"
    lines = {
        "category-mice": "setup.exe /mice",
        "category-quoted-program": '"C:\\Program Files\\MORVANE\\setup.exe" -KEYBOARDS',
        "category-several-names": "setup.exe /S extra",
        "list-json-out": "setup.exe /list mice /json /out C:\\Temp\\usb.json",
        "set-pattern": 'setup.exe /set "USB\\VID_046D&PID_C08B\\*" /filter on /rate 1000 /restart /yes /wait 30',
        "install-service": "setup.exe /install-service /out install.log",
        "snapshot": 'setup.exe /snapshot "C:\\pc snapshots\\pc.json"',
        "pattern-and-id": 'setup.exe USB\\VID_046D&PID_C08B\\* "USB\\VID_046D&PID_C08B\\5&1A2B3C4D&0&1"',
        "restore-one": 'setup.exe /restore "USB\\VID_046D&PID_C08B\\*" /restart /yes',
        "uninstall": "setup.exe /uninstall /yes /out uninstall.log",
        "set-keep": "setup.exe /set USB\\VID_1* /filter on /restart /keep-on-failure /yes",
    }
    for name, line in lines.items():
        write(t, name, line)


# ---- journals ------------------------------------------------------------------

def journals():
    t = "journal_fuzz"
    header = "MORVANE JOURNAL 1\n"
    entry = ("1\tdone\t2026-12-09T04:00:00Z\t/set USB\\VID_1A2C&PID_2124\\* /filter on /restart\t"
             "USB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2\tUSB\\VID_1A2C&PID_2124&REV_0210\t=kbdfix\t=morvane|kbdfix\t-\t-\t-\n")
    undo = ("2\tpending\t2026-12-09T04:00:10Z\tundo /set x\tUSB\\VID_1A2C&PID_2124\\6&1F2A3B4C&0&2\t\t"
            "=morvane|kbdfix\t=kbdfix\t2\t0\t-\n")
    service = "3\tdone\t2026-12-09T04:01:00Z\t/uninstall\t\t\t-\t-\t-\t-\tremoved\n"
    write(t, "empty-journal", b"\0" + header.encode())
    write(t, "one-entry", b"\0" + (header + entry).encode())
    write(t, "pending-undo-and-service", b"\0" + (header + entry + undo + service).encode())
    write(t, "escaped", b"\0" + (header + "1\tfailed\tt\tc%09d\tA%7CB\th\t=x%25y\t=\t4\t0\t-\n").encode())
    write(t, "cut-short", b"\0" + (header + entry)[:-7].encode())
    write(t, "wrong-type", b"\x07" + (header + entry).encode())


if __name__ == "__main__":
    machine_files()
    hub_answers()
    registry_values()
    version_resources()
    command_lines()
    journals()
